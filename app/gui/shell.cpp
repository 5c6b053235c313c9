#include "app/gui/shell.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QGridLayout>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QStyle>
#include <QThreadPool>
#include <QTimer>
#include <QTranslator>
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
    // Disabled menu items and controls greyed, as the buttons' labels are.
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        light.setColor(QPalette::Disabled, role, disabledLabelGrey());
    }
    setPalette(light);

    // Qt's own texts (the folder dialog, standard buttons) in Chinese like the rest; English when
    // the translations are not installed.
    auto* translator = new QTranslator(this);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                         QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        installTranslator(translator);
    }
    setDesktopFileName(QStringLiteral("lumaro"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("lumaro"), QIcon(QStringLiteral(":/furball.png"))));
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

void QtOperationRunner::post(std::function<void()> update) {
    QMetaObject::invokeMethod(this, std::move(update), Qt::QueuedConnection);
}

bool WindowFrontEnd::orphaned() const {
    return window_ != nullptr && window_->closedByPerson() && !window_->isVisible();
}

void WindowFrontEnd::modelChanged() {
    if (window_ == nullptr) {
        return;
    }
    window_->refresh();
    if (orphaned() && !window_->model().busy() && !quitting_) {
        quitting_ = true;
        quit();
    }
}

void WindowFrontEnd::showResult(const std::string& title, const std::vector<std::string>& messages) {
    const QString heading = QString::fromStdString(title);
    const QString text = QString::fromStdString(alertText(messages));
    if (orphaned()) {
        return;  // the program quits once the model has settled
    }
    // Shown once the current update has finished.
    QTimer::singleShot(0, qApp, [heading, text, shownOn = shownOn_] {
        const QPointer<MainWindow> window = *shownOn;
        const bool onWindow = window && window->isVisible();
        auto* alert = new QMessageBox(onWindow ? window.data() : nullptr);
        alert->setAttribute(Qt::WA_DeleteOnClose);
        alert->setIcon(QMessageBox::NoIcon);
        alert->setWindowTitle(QStringLiteral("lumaro"));
        alert->setText(heading);
        alert->setInformativeText(text);
        alert->addButton(QStringLiteral("好"), QMessageBox::AcceptRole);
        alert->setObjectName(QStringLiteral("result-alert"));
        // Wide enough for its title and a sentence; longer text wraps. (Setting a text lays the box
        // out anew, so this comes last.)
        if (auto* grid = qobject_cast<QGridLayout*>(alert->layout())) {
            grid->addItem(new QSpacerItem(kContentWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
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
    dialog.setObjectName(QStringLiteral("folder-dialog"));
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("选择文件夹"));
    // The dialog's own labels, whether or not Qt's translations are installed.
    dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("查找范围："));
    dialog.setLabelText(QFileDialog::FileName, QStringLiteral("文件夹："));
    dialog.setLabelText(QFileDialog::FileType, QStringLiteral("类型："));
    dialog.setLabelText(QFileDialog::Reject, QStringLiteral("取消"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first().toStdString();
}

void WindowFrontEnd::openFolder(const std::string& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

Shell::Shell(std::vector<std::string> arguments, OperationRunner& runner, platform::FileSystem& fs,
             platform::Workspace& workspace, platform::LauncherEntry* launcherEntry)
    : arguments_(std::move(arguments)),
      runner_(runner),
      fs_(fs),
      workspace_(workspace),
      launcherEntry_(launcherEntry) {
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
        model_->setLauncherEntry(launcherEntry_);
    }
    return *model_;
}

}  // namespace lumaro::gui
