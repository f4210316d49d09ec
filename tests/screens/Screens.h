// What every file of the screens program shares: writing a picture and waiting for a state.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>

// Writes W as DIR/<Name><SUFFIX>.png; a picture that cannot be written fails the screens.
void Save(QWidget& W, const QString& Name);

// Lets the event loop run until Done, at most 20 s; a state never reached fails the screens.
void WaitFor(const std::function<bool()>& Done, const char* What);

// Failures so far; the screens program exits 1 when any.
extern int g_Failures;

// A file of its own registers its windows' screens with one of these at namespace scope:
//   const TScreens g_OptionsScreens(&OptionsScreens);
// They render after the main window's, in the order the files were linked.
struct TScreens {
    explicit TScreens(void (*Render)());
};
