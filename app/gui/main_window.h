// The one window: a short description, the two retro buttons, and the menus. It holds no
// state of its own: everything shown is recomputed from the model on every change.
#pragma once

#include <QAction>
#include <QActionGroup>
#include <QLabel>
#include <QMainWindow>
#include <functional>

#include "app/gui/retro_button.h"
#include "app/skin_model.h"

namespace lumaro::gui {

inline constexpr int kContentWidth = 360;
inline constexpr int kContentHeight = 136;

class MainWindow final : public QMainWindow {
  public:
    // `model` is asked for once, when the window's content is built.
    MainWindow(const std::function<SkinModel&()>& model, QWidget* parent = nullptr);

    // Recomputes labels, enabling and check marks from the model.
    void refresh();

    SkinModel& model() const { return model_; }
    RetroButton* applyButton() const { return applyButton_; }
    RetroButton* restoreButton() const { return restoreButton_; }
    QAction* action(const QString& text) const;
    // Whether the person closed the window (not merely that it is not shown yet).
    bool closedByPerson() const { return closedByPerson_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    // The window-modal question before a set-aside; only "搁置" goes on.
    void askToSetAside();
    void showAbout();

    SkinModel& model_;
    QLabel* description_ = nullptr;
    RetroButton* applyButton_ = nullptr;
    RetroButton* restoreButton_ = nullptr;
    QAction* openBackups_ = nullptr;
    QAction* retry_ = nullptr;
    QAction* setAside_ = nullptr;
    QAction* desktopAndApps_ = nullptr;
    QAction* demoFolder_ = nullptr;
    QAction* desktopOnly_ = nullptr;
    QAction* chooseFolder_ = nullptr;
    QAction* openFolder_ = nullptr;
    QAction* quit_ = nullptr;
    QActionGroup* scopeGroup_ = nullptr;
    bool closedByPerson_ = false;
};

// The model of the running program, set each time the window is shown; the quit guard reads it.
SkinModel* currentModel();
void setCurrentModel(SkinModel* model);

}  // namespace lumaro::gui
