#include "model/installer_model.h"

#include <QCoreApplication>
#include <QMetaObject>

#include "install/product.h"

namespace tessuro {

std::shared_ptr<InstallerModel> InstallerModel::create(InstallerServices services) {
    return std::make_shared<InstallerModel>(Token{}, std::move(services));
}

InstallerModel::InstallerModel(Token, InstallerServices services)
    : services_(std::move(services)) {}

std::filesystem::path InstallerModel::destinationURL() const {
    if (userFolder.get()) {
        return services_.homeDirectory() / "Applications" / payloadBundleName;
    }
    return std::filesystem::path("/Applications") / payloadBundleName;
}

void InstallerModel::startInstallation() {
    if (installing.get() || installed.get()) {
        return;
    }
    installing.set(true);
    error.set(std::string());
    std::filesystem::path destination;
    try {
        destination = destinationURL();
    } catch (const std::exception& failure) {
        fail(failure.what());  // no home folder to install into
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weakModel = weak_from_this(), destination] { run(weakModel, destination); },
        Qt::QueuedConnection);
}

}  // namespace tessuro
