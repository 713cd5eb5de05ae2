#pragma once

#include <QLabel>

// A label of fixed size that cuts its text with an ellipsis at the end.
class ValueLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent* event) override;
};
