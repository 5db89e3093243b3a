#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>

// Answers the next modal window that opens: hands it to `look` and closes it, so that a
// test can read a message box or drive a dialog that would otherwise wait for a person.
inline void whenModalOpens(std::function<void(QWidget*)> look, int attempts = 200)
{
    QTimer::singleShot(10, [look = std::move(look), attempts]() mutable {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            look(modal);
            if (modal->isVisible())
                modal->close();
        } else if (attempts > 0) {
            whenModalOpens(std::move(look), attempts - 1);
        }
    });
}

#include <QMessageBox>
#include <QStringList>

// Closes every modal window as soon as it opens and keeps the texts of the message
// boxes among them, for as long as it lives.
class ModalWatcher {
public:
    ModalWatcher()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                if (auto* box = qobject_cast<QMessageBox*>(modal))
                    texts << box->text();
                if (look)
                    look(modal);
                modal->close();
            }
        });
        timer_.start(5);
    }
    QStringList texts;
    // Sees each modal window before it is closed.
    std::function<void(QWidget*)> look;

private:
    QTimer timer_;
};
