#include "app/gui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

namespace lumaro::gui {

namespace {
SkinModel* gCurrentModel = nullptr;
}  // namespace

SkinModel* currentModel() {
    return gCurrentModel;
}
void setCurrentModel(SkinModel* model) {
    gCurrentModel = model;
}

MainWindow::MainWindow(const std::function<SkinModel&()>& model, QWidget* parent)
    : QMainWindow(parent), model_(model()) {
    setWindowTitle(QStringLiteral("lumaro"));

    auto* content = new QWidget(this);
    content->setFixedSize(kContentWidth, kContentHeight);
    content->setAutoFillBackground(true);
    QPalette palette = content->palette();
    palette.setColor(QPalette::Window, faceGrey());
    content->setPalette(palette);

    description_ = new QLabel(QStringLiteral("一键替换桌面图标为可爱复古小毛球"), content);
    description_->setObjectName(QStringLiteral("scope-description"));
    description_->setAccessibleName(description_->text());
    QFont descriptionFont = description_->font();
    descriptionFont.setPointSizeF(12);
    description_->setFont(descriptionFont);
    description_->setWordWrap(true);
    description_->setFixedWidth(300);
    description_->setAlignment(Qt::AlignLeading | Qt::AlignTop);
    QPalette labelPalette = description_->palette();
    labelPalette.setColor(QPalette::WindowText, Qt::black);
    description_->setPalette(labelPalette);

    applyButton_ = new RetroButton(QStringLiteral("一键换肤"), content);
    applyButton_->setObjectName(QStringLiteral("apply-skin"));
    restoreButton_ = new RetroButton(QStringLiteral("一键还原"), content);
    restoreButton_->setObjectName(QStringLiteral("restore-skin"));
    for (RetroButton* button : {applyButton_, restoreButton_}) {
        button->setFixedSize(140, 40);
    }
    connect(applyButton_, &QPushButton::clicked, this, [this] { model_.runOperation(Operation::apply); });
    connect(restoreButton_, &QPushButton::clicked, this, [this] { model_.runOperation(Operation::restore); });

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(20);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addWidget(applyButton_);
    buttons->addWidget(restoreButton_);
    auto* stack = new QVBoxLayout;
    stack->setSpacing(18);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->addWidget(description_, 0, Qt::AlignLeading);
    stack->addLayout(buttons);
    auto* outer = new QVBoxLayout(content);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addStretch();
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addLayout(stack);
    row->addStretch();
    outer->addLayout(row);
    outer->addStretch();
    setCentralWidget(content);

    buildMenus();
    // The window takes its content's fixed size and cannot be resized.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    refresh();
}

void MainWindow::buildMenus() {
    // Mnemonics (Alt+L, Alt+S) and F10 reach the menus from the keyboard.
    QMenu* application = menuBar()->addMenu(QStringLiteral("&lumaro"));
    application->addAction(QStringLiteral("关于 lumaro"), this, [this] { showAbout(); });
    openBackups_ = application->addAction(QStringLiteral("查看备份"), this, [this] { model_.openBackups(); });
    retry_ = application->addAction(QStringLiteral("重试已跳过的还原"), this,
                                    [this] { model_.runOperation(Operation::retry); });
    setAside_ =
        application->addAction(QStringLiteral("搁置无法还原的项目…"), this, [this] { askToSetAside(); });
    application->addSeparator();
    quit_ = application->addAction(QStringLiteral("退出 lumaro"), qApp, &QApplication::quit);

    // The title stays as it is: a Chinese title takes no mnemonic letter, so Alt+S opens it instead.
    QMenu* scope = menuBar()->addMenu(QStringLiteral("范围"));
    const auto opens = [this](const QKeySequence& keys, QMenu* menu) {
        connect(new QShortcut(keys, this), &QShortcut::activated, this,
                [this, menu] { menuBar()->setActiveAction(menu->menuAction()); });
    };
    opens(QKeySequence(Qt::Key_F10), application);
    opens(QKeySequence(Qt::ALT | Qt::Key_S), scope);
    scopeGroup_ = new QActionGroup(this);
    // Exclusive when a mark is set, but a folder chosen by hand leaves every item unmarked.
    scopeGroup_->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    const auto checkItem = [&](const QString& text, const std::function<void()>& choose) {
        QAction* item = scope->addAction(text);
        item->setCheckable(true);
        scopeGroup_->addAction(item);
        // Only switching an item on acts; choosing a marked item again does nothing.
        connect(item, &QAction::triggered, this, [this, choose](bool on) {
            if (on) {
                choose();
            }
            refresh();
        });
        return item;
    };
    desktopAndApps_ = checkItem(QStringLiteral("桌面和应用图标"), [this] { model_.useDesktop(); });
    demoFolder_ = checkItem(QStringLiteral("演示文件夹"), [this] { model_.chooseTarget(model_.demo()); });
    desktopOnly_ = checkItem(QStringLiteral("仅桌面"), [this] { model_.chooseTarget(model_.desktop()); });
    chooseFolder_ = scope->addAction(QStringLiteral("选择文件夹…"), this, [this] { model_.chooseFolder(); });
    scope->addSeparator();
    openFolder_ =
        scope->addAction(QStringLiteral("打开当前文件夹"), this, [this] { model_.openCurrentFolder(); });
}

void MainWindow::askToSetAside() {
    auto* question = new QMessageBox(this);
    question->setAttribute(Qt::WA_DeleteOnClose);
    question->setObjectName(QStringLiteral("set-aside-question"));
    question->setIcon(QMessageBox::NoIcon);
    question->setWindowTitle(QStringLiteral("lumaro"));
    question->setText(QStringLiteral("先还原能还原的项目，再把其余项目搁置吗？"));
    question->setInformativeText(
        QStringLiteral("搁置的项目保留原图标的备份，以后可以用“重试已跳过的还原”再试；搁置后可以重新换肤。"));
    QPushButton* proceed = question->addButton(QStringLiteral("搁置"), QMessageBox::AcceptRole);
    question->addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
    question->setWindowModality(Qt::WindowModal);
    connect(question, &QMessageBox::finished, this, [this, question, proceed] {
        // The state may have changed while the question was open.
        if (question->clickedButton() == proceed && setAside_->isEnabled()) {
            model_.runOperation(Operation::setAside);
        }
    });
    question->open();
}

void MainWindow::showAbout() {
    auto* about = new QMessageBox(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->setObjectName(QStringLiteral("about-box"));
    about->setWindowTitle(QStringLiteral("关于 lumaro"));
    about->setIconPixmap(windowIcon().pixmap(64, 64));
    about->setText(QStringLiteral("lumaro"));
    about->setInformativeText(QStringLiteral("一键替换桌面图标为可爱复古小毛球"));
    about->addButton(QStringLiteral("好"), QMessageBox::AcceptRole);
    about->setWindowModality(Qt::WindowModal);
    about->open();
}

QAction* MainWindow::action(const QString& text) const {
    for (QAction* candidate : findChildren<QAction*>()) {
        if (candidate->text() == text) {
            return candidate;
        }
    }
    return nullptr;
}

void MainWindow::refresh() {
    const bool busy = model_.busy();
    const bool pending = model_.hasBackup();
    const bool unavailable = model_.unavailable();
    applyButton_->setText(busy && !model_.restoring() ? QStringLiteral("换肤中…")
                                                      : QStringLiteral("一键换肤"));
    restoreButton_->setText(busy && model_.restoring() ? QStringLiteral("还原中…")
                                                       : QStringLiteral("一键还原"));
    applyButton_->setEnabled(!(busy || pending || unavailable));
    restoreButton_->setEnabled(!(busy || !pending || unavailable));
    // The running button's face shows how far the items of the whole batch have come.
    const OperationProgress& progress = model_.progress();
    const std::optional<double> fraction =
        busy && progress.total > 0 ? std::optional<double>(double(progress.done) / double(progress.total))
                                   : std::nullopt;
    applyButton_->setProgress(model_.restoring() ? std::nullopt : fraction);
    restoreButton_->setProgress(model_.restoring() ? fraction : std::nullopt);

    const bool choosing = !(busy || pending || unavailable);
    retry_->setEnabled(choosing);
    setAside_->setEnabled(!(busy || !pending || unavailable));
    for (QAction* item : {desktopAndApps_, demoFolder_, desktopOnly_, chooseFolder_}) {
        item->setEnabled(choosing);
    }
    desktopAndApps_->setChecked(model_.isTargetDesktop() && model_.includeApplications());
    demoFolder_->setChecked(model_.isTargetDemo());
    desktopOnly_->setChecked(model_.isTargetDesktop() && !model_.includeApplications());
    if (!desktopAndApps_->isChecked() && !demoFolder_->isChecked() && !desktopOnly_->isChecked()) {
        if (QAction* checked = scopeGroup_->checkedAction()) {
            checked->setChecked(false);
        }
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    closedByPerson_ = event->isAccepted();
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    closedByPerson_ = false;
    setCurrentModel(&model_);
    activateWindow();
    raise();
}

}  // namespace lumaro::gui
