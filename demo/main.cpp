// Tessuro: the small application that the development installer carries as its payload.
// It shows one window naming its version, read from its own bundle's Info.plist.

#include <QApplication>
#include <QLabel>
#include <QVBoxLayout>
#include <QWidget>

#include "platform/bundle.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setFont(QFont(QStringLiteral("Noto Sans CJK SC")));  // Simplified Chinese forms
    std::string version = "?";
    try {
        version =
            tessuro::bundleInfoString(tessuro::mainBundlePath(), "CFBundleVersion").value_or("?");
    } catch (...) {
    }

    QWidget window;
    window.setWindowTitle(QStringLiteral("Tessuro"));
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(40, 40, 40, 40);
    auto* name = new QLabel(QStringLiteral("Tessuro"));
    QFont big = name->font();
    big.setPixelSize(28);
    big.setWeight(QFont::DemiBold);
    name->setFont(big);
    auto* build = new QLabel(QStringLiteral("版本 %1").arg(QString::fromStdString(version)));
    build->setObjectName(QStringLiteral("version"));
    for (QLabel* label : {name, build}) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
    }
    window.resize(320, 180);
    window.show();
    return app.exec();
}
