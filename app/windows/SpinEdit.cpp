#include "SpinEdit.h"

#include <algorithm>
#include <limits>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QRegularExpression>
#include <QWheelEvent>

namespace app {

SpinEdit::SpinEdit(int value, int minimum, int maximum, QWidget* parent)
    : QAbstractSpinBox(parent), minimum_(minimum), maximum_(maximum)
{
    setValue(value);
    connect(lineEdit(), &QLineEdit::textChanged, this, &SpinEdit::changed);
}

int SpinEdit::value() const
{
    // Digits with an optional sign, however many: a number too large for any integer
    // type is still a number, taken at the nearest bound.
    static const QRegularExpression integer(R"(^\s*([+-]?)0*(\d+)\s*$)");
    const QRegularExpressionMatch number = integer.match(text());
    if (!number.hasMatch())
        return minimum_;
    const bool negative = number.capturedView(1) == u"-";
    bool ok = false;
    const qlonglong read = number.capturedView(2).toLongLong(&ok, 10);
    if (!ok || read > std::numeric_limits<int>::max())
        return negative ? std::numeric_limits<int>::min() : std::numeric_limits<int>::max();
    return static_cast<int>(negative ? -read : read);
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
    // Page keys would step by ten, and a key with Alt or Meta belongs to a menu or a
    // shortcut even where none takes it: neither changes the number.
    if (event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown ||
        (event->modifiers() & (Qt::AltModifier | Qt::MetaModifier))) {
        event->ignore();
        return;
    }
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

void SpinEdit::wheelEvent(QWheelEvent* event)
{
    event->ignore(); // a scroll over the panel never changes a setting in passing
}

void SpinEdit::enforceBounds()
{
    if (bounded() && (value() < minimum_ || value() > maximum_))
        setValue(std::clamp(value(), minimum_, maximum_));
}

} // namespace app
