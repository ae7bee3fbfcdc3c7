// ConfirmBox: a yes/no question whose button texts come from the language strings (the system
// message box cannot relabel its buttons). A system-modal box built from an in-memory template;
// only its buttons end it.
#pragma once

#include <windows.h>

// Control identifiers of the two buttons.
constexpr int kConfirmFirstButtonId = 23;
constexpr int kConfirmSecondButtonId = 24;

// 1 when the first button was pressed, 2 for the second; 0 when the arguments are invalid (no
// text or caption, a default button the box does not have, a missing button text, a button count
// other than 1 or 2) or the box could not be shown.
int ConfirmBox(const wchar_t* text, const wchar_t* caption, int buttonCount, int defaultButton,
               const wchar_t* firstButton, const wchar_t* secondButton);
