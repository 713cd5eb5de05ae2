#pragma once

#include <QLabel>

// A value label of fixed size. Most cut their text with an ellipsis at the end; the others
// (the hash percentage, the elapsed time) must always show their whole value, so the layout
// widens them to fit (see fittingWidth).
class ValueLabel : public QLabel {
    Q_OBJECT
public:
    ValueLabel(const QString& text, bool elide, QWidget* parent);

    bool elides() const { return m_elide; }
    // The width that shows `text` whole, and never less than `minimum`.
    int fittingWidth(const QString& text, int minimum) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool m_elide;
};
