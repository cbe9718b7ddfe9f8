#pragma once

#include <QCoroTask>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "model/installer_services.h"
#include "model/published.h"

namespace tessuro {

// The one observable state of the installer. Lives on the main thread: every read, write
// and announcement happens there. Created through create(), since the jobs it queues hold
// it weakly.
class InstallerModel : public std::enable_shared_from_this<InstallerModel> {
    struct Token {};

public:
    static std::shared_ptr<InstallerModel> create(InstallerServices services);
    InstallerModel(Token, InstallerServices services);
    InstallerModel(const InstallerModel&) = delete;
    InstallerModel& operator=(const InstallerModel&) = delete;

    // Fires once before each write of a published field.
    Signal<> objectWillChange;

    Published<bool> installing{false, objectWillChange};
    Published<bool> installed{false, objectWillChange};
    Published<bool> launching{false, objectWillChange};
    Published<std::string> error{std::string(), objectWillChange};  // empty: no error
    Published<bool> userFolder{false, objectWillChange};
    bool automaticInstallationStarted = false;

    // The installer's own bundle.
    const std::filesystem::path& installerBundle() const { return services_.installerBundle; }

    // "/Applications/Tessuro.app", or "<home>/Applications/Tessuro.app" with userFolder.
    std::filesystem::path destinationURL() const;

    // Starts an install run, unless one is running or one has succeeded. Returns before any
    // check is made; the outcome arrives through the published fields.
    void startInstallation();

    // Switches to <home>/Applications and starts a run there: only while it is offered, after
    // a failed run into /Applications that nothing has followed yet. Otherwise does nothing.
    void installInUserFolderInstead();
    bool userFolderOffered() const;

    // Opens the installed application (the bundle the run checked and put in place, wherever
    // its path leads by now), unless nothing is installed yet or an opening is pending;
    // quits the installer once it has started, or shows why it did not.
    void launchInstalledApp();

private:
    static QCoro::Task<> run(std::weak_ptr<InstallerModel> weakModel,
                             std::filesystem::path destination, bool inUserFolder);
    QCoro::Task<> performRun(std::filesystem::path destination, bool inUserFolder);
    void fail(std::string description);

    InstallerServices services_;
    // What the successful run installed, held open: the launch starts it and nothing else.
    std::optional<HeldBundle> installedBundle_;
};

}  // namespace tessuro
