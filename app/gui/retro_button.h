// The retro bevelled button: a grey face, a light upper-left and a dark lower-right edge that
// swap when pressed, a label that sinks by one point when pressed and looks engraved when
// disabled. Keyboard focus shows as a dotted rectangle inside the bevel; Space and Return press
// it. While its operation runs, its face fills from the left as the items are done.
#pragma once

#include <QColor>
#include <QPushButton>
#include <optional>

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
    // The part of the face filled, 0 to 1; nothing: no fill.
    void setProgress(std::optional<double> fraction);
    std::optional<double> progress() const { return progress_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    bool forcedDown_ = false;
    std::optional<double> progress_;
};

}  // namespace lumaro::gui
