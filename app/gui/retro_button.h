// The retro bevelled button: a grey face, a light upper-left and a dark lower-right edge that
// swap when pressed, a label that sinks by one point when pressed and looks engraved when
// disabled.
#pragma once

#include <QColor>
#include <QPushButton>

namespace lumaro::gui {

// The window's colours, all sRGB.
inline QColor faceGrey() {
    return QColor::fromRgbF(0.83f, 0.83f, 0.83f);
}
inline QColor disabledLabelGrey() {
    return QColor::fromRgbF(0.5f, 0.5f, 0.5f);
}
inline QColor shadowGrey() {
    return QColor::fromRgbF(0.4f, 0.4f, 0.4f);
}

class RetroButton final : public QPushButton {
  public:
    explicit RetroButton(const QString& text, QWidget* parent = nullptr);

    // Drawn as if pressed whatever the mouse does; for rendering checks.
    void setForcedDown(bool down);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool forcedDown_ = false;
};

}  // namespace lumaro::gui
