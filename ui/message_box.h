#ifndef LUMORET_UI_MESSAGE_BOX_H
#define LUMORET_UI_MESSAGE_BOX_H

#include <string>

class wxWindow;

// Shows text (UTF-8) in a modal message box titled title, wrapped to a readable width
// so that a long file name or advice never makes the box wider than the screen; style
// as wxMessageDialog takes it. Returns the button pressed. The box is the generic one, a
// dialog of ours, so that a quit signal can close it and tests can find it.
int ShowMessageBox(wxWindow* parent, const std::string& text, const std::string& title, long style);

#endif  // LUMORET_UI_MESSAGE_BOX_H
