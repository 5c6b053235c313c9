#include "app/gui/shell.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QStyle>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include "app/report_messages.h"
#include "resources/resources.h"

namespace lumaro::gui {

LumaroApplication::LumaroApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("lumaro"));
    setQuitOnLastWindowClosed(true);
    // Light colours whatever the desktop theme.
    setStyle(QStringLiteral("Fusion"));
    QPalette light = style()->standardPalette();
    light.setColor(QPalette::Window, faceGrey());
    light.setColor(QPalette::WindowText, Qt::black);
    light.setColor(QPalette::Base, Qt::white);
    light.setColor(QPalette::Text, Qt::black);
    light.setColor(QPalette::Button, faceGrey());
    light.setColor(QPalette::ButtonText, Qt::black);
    setPalette(light);
}

bool allowQuit() {
    const SkinModel* model = currentModel();
    if (model != nullptr && model->busy()) {
        QApplication::beep();
        return false;
    }
    return true;
}

bool LumaroApplication::event(QEvent* event) {
    if (event->type() == QEvent::Quit && !allowQuit()) {
        event->ignore();
        return true;
    }
    return QApplication::event(event);
}

void QtOperationRunner::run(std::function<OperationOutcome()> work,
                            std::function<void(OperationOutcome)> completion) {
    QPointer<QtOperationRunner> self(this);
    QThreadPool::globalInstance()->start([self, work = std::move(work), completion = std::move(completion)] {
        OperationOutcome outcome = work();
        if (self) {
            QMetaObject::invokeMethod(
                self.data(), [completion, outcome = std::move(outcome)] { completion(outcome); },
                Qt::QueuedConnection);
        }
    });
}

void WindowFrontEnd::modelChanged() {
    if (window_ != nullptr) {
        window_->refresh();
    }
}

void WindowFrontEnd::showResult(const std::string& title, const std::vector<std::string>& messages) {
    const QString heading = QString::fromStdString(title);
    const QString text = QString::fromStdString(alertText(messages));
    QPointer<MainWindow> window(window_);
    // Shown once the current update has finished.
    QTimer::singleShot(0, qApp, [heading, text, window] {
        const bool onWindow = window && window->isVisible();
        auto* alert = new QMessageBox(onWindow ? window.data() : nullptr);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->setIcon(QMessageBox::NoIcon);
        alert->setWindowTitle(QStringLiteral("lumaro"));
        alert->setText(heading);
        alert->setInformativeText(text);
        alert->addButton(QStringLiteral("好"), QMessageBox::AcceptRole);
        alert->setObjectName(QStringLiteral("result-alert"));
        if (onWindow) {
            alert->setWindowModality(Qt::WindowModal);
            alert->open();
        } else {
            alert->exec();
        }
    });
}

std::optional<std::string> WindowFrontEnd::askForFolder(const std::string& start) {
    QFileDialog dialog(window_, QStringLiteral("选择需要换肤的文件夹"), QString::fromStdString(start));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("选择文件夹"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first().toStdString();
}

void WindowFrontEnd::openFolder(const std::string& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

Shell::Shell(std::vector<std::string> arguments, OperationRunner& runner, platform::FileSystem& fs,
             platform::Workspace& workspace)
    : arguments_(std::move(arguments)), runner_(runner), fs_(fs), workspace_(workspace) {
    window_ = std::make_unique<MainWindow>([this]() -> SkinModel& { return model(); });
    frontEnd_.setWindow(window_.get());
    window_->refresh();
}

Shell::~Shell() {
    if (currentModel() == model_.get()) {
        setCurrentModel(nullptr);
    }
    frontEnd_.setWindow(nullptr);
}

SkinModel& Shell::model() {
    if (!model_) {
        model_ = std::make_unique<SkinModel>(
            arguments_, ModelServices{fs_, workspace_, runner_, frontEnd_, [] { return loadFurball(); }});
    }
    return *model_;
}

}  // namespace lumaro::gui
