#include "ui/modal_tracker.h"

#include <wx/dialog.h>

ModalTracker::ModalTracker() {
  Register();
}

void ModalTracker::MenuOpened(wxMenu* menu) {
  open_.push_back({nullptr, wxWeakRef<wxMenu>(menu)});
}

void ModalTracker::MenuClosed(wxMenu* menu) {
  Remove(nullptr, menu);
}

bool ModalTracker::EndInnermost() {
  while (!open_.empty()) {
    const Loop& innermost = open_.back();
    if (innermost.dialog != nullptr) {
      // Not modal any more: asked already, its loop is on its way out.
      if (innermost.dialog->IsModal()) {
        innermost.dialog->EndModal(wxID_CANCEL);
      }
      return true;
    }
#ifdef __WXGTK__
    // wxGTK turns its loop while this flag is up; lowered, the loop ends at its next
    // turn, and the menu goes when its owner destroys it.
    if (innermost.menu && innermost.menu->m_popupShown) {
      innermost.menu->m_popupShown = false;
      return true;
    }
#endif
    open_.pop_back();  // a menu whose loop is over
  }
  return false;
}

int ModalTracker::Enter(wxDialog* dialog) {
  open_.push_back({dialog, wxWeakRef<wxMenu>()});
  return wxID_NONE;  // show it as usual
}

void ModalTracker::Exit(wxDialog* dialog) {
  Remove(dialog, nullptr);
}

void ModalTracker::Remove(const wxDialog* dialog, const wxMenu* menu) {
  for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
    if (it->dialog == dialog && it->menu.get() == menu) {
      open_.erase(std::next(it).base());
      return;
    }
  }
}
