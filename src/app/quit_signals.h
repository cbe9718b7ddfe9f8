#pragma once

#include <signal.h>

#include <QObject>
#include <memory>

class QSocketNotifier;

namespace tessuro {

// Turns SIGTERM, SIGINT and SIGHUP into QCoreApplication::quit(), the path every quit request
// takes, through a self-pipe: the handler only writes a byte, the event loop does the rest.
class QuitSignals : public QObject {
public:
    QuitSignals();
    ~QuitSignals() override;

private:
    void drain();

    int pipe_[2] = {-1, -1};
    struct sigaction previous_[3] = {};  // SIGTERM, SIGINT, SIGHUP as they were
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tessuro
