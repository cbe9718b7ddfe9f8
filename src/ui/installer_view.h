#pragma once

#include <QLabel>
#include <QPushButton>
#include <QSizeF>
#include <QVBoxLayout>
#include <QWidget>
#include <functional>
#include <optional>

#include "model/installer_model.h"
#include "ui/painted_widgets.h"
#include "ui/wrapped_text.h"

namespace tessuro {

// The whole content of the installer window, computed afresh from the model after every
// change it announces: header image, title, status row, error line, buttons. It measures
// itself (kWidth wide, at least kMinimumHeight high) and reports each new size through
// `sizeChanged`.
class InstallerView : public QWidget {
public:
    using SizeChanged = std::function<void(QSizeF)>;

    static constexpr int kWidth = 400;
    static constexpr int kMinimumHeight = 260;
    static constexpr int kMargin = 30;
    static constexpr int kSpacing = 16;
    static constexpr int kIconSide = 64;

    InstallerView(InstallerModel& model, SizeChanged sizeChanged, const QPixmap& icon,
                  QWidget* parent = nullptr);

    // The size of the outermost box, as last measured.
    QSizeF measuredSize() const { return measured_; }

    // The button Return presses now, if any: shown and enabled.
    QPushButton* activeDefaultButton() const;

    // The elements, for tests and the gallery.
    IconView* iconView() const { return icon_; }
    CheckMark* checkMark() const { return check_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* statusLabel() const { return status_; }
    Spinner* spinner() const { return spinner_; }
    WrappedText* errorText() const { return error_; }
    AlertBox* errorAlert() const { return errorBox_; }
    QPushButton* retryButton() const { return retry_; }
    QPushButton* alternativeButton() const { return alternative_; }
    QPushButton* launchButton() const { return launch_; }

private:
    void scheduleRefresh();
    void refresh();
    void keepKeyboardFocus();
    void measureAndReport();
    void pressDefault();

    InstallerModel& model_;
    SizeChanged sizeChanged_;
    Subscription subscription_;
    Subscription runs_;
    int runCount_ = 0;            // runs started
    int announcedRun_ = -1;       // the run whose error the alert last announced
    bool keyboardInUse_ = false;  // a button has had the keyboard focus
    bool refreshPending_ = false;
    QSizeF measured_;
    std::optional<QSizeF> reported_;

    QVBoxLayout* layout_;
    IconView* icon_;
    CheckMark* check_;
    QLabel* title_;
    QLabel* status_;
    Spinner* spinner_;
    AlertBox* errorBox_;
    WrappedText* error_;
    QPushButton* retry_;
    QPushButton* alternative_;
    QPushButton* launch_;
};

}  // namespace tessuro
