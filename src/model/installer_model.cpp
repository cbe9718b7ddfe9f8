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
    } catch (...) {
        // No home folder to install into.
        fail(errorOf(std::current_exception()).localizedDescription());
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [weakModel = weak_from_this(), destination, inUserFolder = userFolder.get()] {
            run(weakModel, destination, inUserFolder);
        },
        Qt::QueuedConnection);
}

bool InstallerModel::userFolderOffered() const {
    return !installing.get() && !installed.get() && !error.get().empty() && !userFolder.get();
}

void InstallerModel::installInUserFolderInstead() {
    if (!userFolderOffered()) {
        return;
    }
    userFolder.set(true);
    startInstallation();
}

void InstallerModel::launchInstalledApp() {
    if (!installed.get() || launching.get() || !installedBundle_) {
        return;
    }
    launching.set(true);
    error.set(std::string());
    // The completion may come on any thread: it only hands the outcome to the main thread.
    services_.openApplication(
        *installedBundle_, [model = shared_from_this()](std::optional<Error> failure) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [weakModel = std::weak_ptr<InstallerModel>(model), failure = std::move(failure)] {
                    std::shared_ptr<InstallerModel> strong = weakModel.lock();
                    if (!strong) {
                        return;
                    }
                    strong->launching.set(false);
                    if (failure) {
                        strong->error.set("已安装，但启动失败：" + failure->localizedDescription());
                        return;
                    }
                    strong->services_.terminateApplication();
                },
                Qt::QueuedConnection);
        });
}

}  // namespace tessuro
