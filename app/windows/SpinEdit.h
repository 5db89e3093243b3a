#pragma once

#include <QAbstractSpinBox>
#include <QLineEdit>

namespace app {

// A spin box whose value is its text read as a decimal integer (its minimum, 0, when the
// text is not one; a number beyond the integers reads as the nearest of them). Typing
// takes digits, signs and the decimal separator only; other keys are refused with a
// beep, and keys with Alt are left to the menus and shortcuts. Up, Down and the arrows
// step the value; Page Up, Page Down and the wheel do not. A box with bounds (minimum
// and maximum not both 0) enforces them only when it loses the focus or is stepped, so
// a typed value outside them stands until then.
class SpinEdit : public QAbstractSpinBox {
    Q_OBJECT
    // Read by assistive tools as the box's value.
    Q_PROPERTY(int value READ value WRITE setValue NOTIFY changed USER true)
public:
    SpinEdit(int value, int minimum, int maximum, QWidget* parent = nullptr);

    int value() const;
    void setValue(int value);
    QString text() const { return lineEdit()->text(); }
    void setMaxLength(int characters) { lineEdit()->setMaxLength(characters); }

    void stepBy(int steps) override;

signals:
    void changed();

protected:
    StepEnabled stepEnabled() const override { return StepUpEnabled | StepDownEnabled; }
    QValidator::State validate(QString& input, int& pos) const override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    bool bounded() const { return minimum_ != 0 || maximum_ != 0; }
    void enforceBounds();

    int minimum_;
    int maximum_;
};

} // namespace app
