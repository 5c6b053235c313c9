#include "app/gui/retro_button.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace lumaro::gui {

RetroButton::RetroButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    QFont labelFont = font();
    labelFont.setPointSizeF(13);
    setFont(labelFont);
    setFlat(true);
    setFocusPolicy(Qt::TabFocus);
    // Return presses it as well as Space, as in a dialog.
    setAutoDefault(true);
}

void RetroButton::setProgress(std::optional<double> fraction) {
    if (fraction) {
        fraction = std::clamp(*fraction, 0.0, 1.0);
    }
    if (fraction != progress_) {
        progress_ = fraction;
        update();
    }
}

void RetroButton::setForcedDown(bool down) {
    forcedDown_ = down;
    update();
}

void RetroButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const bool pressed = isDown() || forcedDown_;
    const qreal w = width();
    const qreal h = height();
    painter.fillRect(rect(), faceGrey());
    if (progress_) {
        // Inside the bevel, from the left edge as far as the work has come.
        const QRectF inner = QRectF(rect()).adjusted(2, 2, -2, -2);
        painter.fillRect(QRectF(inner.left(), inner.top(), inner.width() * *progress_, inner.height()),
                         Qt::white);
    }

    QPen pen;
    pen.setWidthF(2);
    pen.setCapStyle(Qt::FlatCap);
    pen.setJoinStyle(Qt::MiterJoin);
    pen.setMiterLimit(10);
    QPainterPath upperLeft;
    upperLeft.moveTo(1, h - 1);
    upperLeft.lineTo(1, 1);
    upperLeft.lineTo(w - 1, 1);
    QPainterPath lowerRight;
    lowerRight.moveTo(w - 1, 1);
    lowerRight.lineTo(w - 1, h - 1);
    lowerRight.lineTo(1, h - 1);
    pen.setColor(pressed ? shadowGrey() : Qt::white);
    painter.strokePath(upperLeft, pen);
    pen.setColor(pressed ? Qt::white : shadowGrey());
    painter.strokePath(lowerRight, pen);

    const QRectF labelRect = QRectF(rect()).translated(pressed ? 1 : 0, pressed ? 1 : 0);
    painter.setFont(font());
    if (!isEnabled()) {
        // Engraved: a white copy one point down and right, under the grey label.
        painter.setPen(Qt::white);
        painter.drawText(labelRect.translated(1, 1), Qt::AlignCenter, text());
    }
    painter.setPen(isEnabled() ? QColor(Qt::black) : disabledLabelGrey());
    painter.drawText(labelRect, Qt::AlignCenter, text());

    if (hasFocus()) {
        // The retro focus mark: a dotted black rectangle four points inside the edges.
        QPen dots(Qt::black, 1, Qt::DotLine);
        painter.setPen(dots);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRectF(rect()).adjusted(4.5, 4.5, -4.5, -4.5));
    }
}

}  // namespace lumaro::gui
