// Reaching a panel's controls by their object names, and pressing a button as a user does; shared
// by the tests and the screenshot program.
#ifndef CONTROLS_H
#define CONTROLS_H

#include <QStringList>
#include <QWidget>

// The child of root of type T named name; stops the program, naming it, when there is none.
template <typename T>
T* control(QWidget* root, const char* name)
{
    T* found = root->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

// Clicks the button named name inside root and returns the lines that the click wrote: those
// added to root's log pane when root holds one (the window), otherwise the result lines that the
// button's panel emitted.
QStringList press(QWidget* root, const char* name);

// The first line of window's log pane: the device library's line, with its identity or its load
// failure; empty when there is none.
QString firstLogLine(QWidget* window);

#endif
