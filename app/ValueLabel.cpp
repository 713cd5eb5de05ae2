#include "app/ValueLabel.h"

#include <QPainter>

ValueLabel::ValueLabel(const QString& text, bool elide, QWidget* parent)
    : QLabel(text, parent), m_elide(elide) {
}

int ValueLabel::fittingWidth(const QString& text, int minimum) const {
    return std::max(minimum, fontMetrics().horizontalAdvance(text) + 2);
}

void ValueLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (autoFillBackground())
        painter.fillRect(rect(), palette().color(backgroundRole()));
    painter.setPen(palette().color(foregroundRole()));
    const QString shown =
        m_elide ? fontMetrics().elidedText(text(), Qt::ElideRight, width()) : text();
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}
