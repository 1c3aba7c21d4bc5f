#ifndef TALLIVAN_WIN32_PLACEMENT_H_
#define TALLIVAN_WIN32_PLACEMENT_H_

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace tallivan {

// The window's size and place as the user's settings keep it: its normal frame and whether it was
// maximized, "left,top,right,bottom,maximized".
struct Placement {
  RECT frame{};
  bool maximized = false;
};
std::string PlacementText(const Placement& placement);
// nullopt unless `text` is exactly what PlacementText gives for a frame of a sane size.
std::optional<Placement> ParsePlacement(std::string_view text);

// `frame` moved, and made smaller if need be, to lie inside `work_area`.
RECT FitInto(RECT frame, const RECT& work_area);

// Shows `window` as `show_command` says, where and as large as the user's last window closed, if
// that is on a monitor now (pulled inside that monitor's work area), else where the system puts it.
void ShowAsLastTime(HWND window, int show_command);

// Keeps the size and place of `window` for the user's next window.
void KeepPlacement(HWND window);

}  // namespace tallivan

#endif  // TALLIVAN_WIN32_PLACEMENT_H_
