#include "SpinEdit.h"

#include <algorithm>
#include <limits>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>

SpinEdit::SpinEdit(int value, int minimum, int maximum, QWidget* parent)
    : QAbstractSpinBox(parent), minimum_(minimum), maximum_(maximum)
{
    setValue(value);
    connect(lineEdit(), &QLineEdit::textChanged, this, &SpinEdit::changed);
}

int SpinEdit::value() const
{
    bool ok = false;
    const qlonglong read = text().toLongLong(&ok, 10);
    if (!ok || read < std::numeric_limits<int>::min() || read > std::numeric_limits<int>::max())
        return minimum_;
    return static_cast<int>(read);
}

void SpinEdit::setValue(int value)
{
    lineEdit()->setText(QString::number(value));
}

void SpinEdit::stepBy(int steps)
{
    const qlonglong stepped = qlonglong(value()) + steps;
    qlonglong next = std::clamp<qlonglong>(stepped, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (bounded())
        next = std::clamp<qlonglong>(next, minimum_, maximum_);
    setValue(static_cast<int>(next));
}

QValidator::State SpinEdit::validate(QString&, int&) const
{
    return QValidator::Acceptable; // keys are filtered as they are typed; the text is read as it stands
}

void SpinEdit::keyPressEvent(QKeyEvent* event)
{
    const QString typed = event->text();
    const bool printable = !typed.isEmpty() && typed.at(0).isPrint();
    if (printable && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        const QChar c = typed.at(0);
        const QString separator = QLocale::system().decimalPoint();
        if (!c.isDigit() && c != '+' && c != '-' && QString(c) != separator) {
            QApplication::beep();
            event->accept();
            return;
        }
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void SpinEdit::focusOutEvent(QFocusEvent* event)
{
    enforceBounds();
    QAbstractSpinBox::focusOutEvent(event);
}

void SpinEdit::enforceBounds()
{
    if (bounded() && (value() < minimum_ || value() > maximum_))
        setValue(std::clamp(value(), minimum_, maximum_));
}
