#include "win32/placement.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "session/user_settings.h"

namespace tallivan {
namespace {

constexpr char kPlacementKey[] = "window.win32_placement";
constexpr LONG kLargest = 100000;  // pixels; anything larger is not a window's frame

}  // namespace

std::string PlacementText(const Placement& placement) {
  char text[96];
  std::snprintf(text, sizeof text, "%ld,%ld,%ld,%ld,%d", placement.frame.left, placement.frame.top,
                placement.frame.right, placement.frame.bottom, placement.maximized ? 1 : 0);
  return text;
}

std::optional<Placement> ParsePlacement(std::string_view text) {
  long numbers[5] = {};
  const char* at = text.data();
  const char* const end = text.data() + text.size();
  for (int i = 0; i < 5; ++i) {
    if (i > 0 && (at == end || *at++ != ',')) return std::nullopt;
    const auto [stop, error] = std::from_chars(at, end, numbers[i]);
    if (error != std::errc() || stop == at) return std::nullopt;
    at = stop;
  }
  if (at != end || numbers[4] < 0 || numbers[4] > 1) return std::nullopt;
  Placement placement{{numbers[0], numbers[1], numbers[2], numbers[3]}, numbers[4] == 1};
  const RECT& frame = placement.frame;
  const auto sane = [](long n) { return n > -kLargest && n < kLargest; };
  if (!std::all_of(numbers, numbers + 4, sane) || frame.right <= frame.left ||
      frame.bottom <= frame.top) {
    return std::nullopt;
  }
  return placement;
}

RECT FitInto(RECT frame, const RECT& work_area) {
  const LONG width = std::min(frame.right - frame.left, work_area.right - work_area.left);
  const LONG height = std::min(frame.bottom - frame.top, work_area.bottom - work_area.top);
  const LONG left = std::clamp(frame.left, work_area.left, work_area.right - width);
  const LONG top = std::clamp(frame.top, work_area.top, work_area.bottom - height);
  return {left, top, left + width, top + height};
}

void ShowAsLastTime(HWND window, int show_command) {
  const std::optional<std::string> kept = UserSettings().Get(kPlacementKey);
  const std::optional<Placement> last = kept ? ParsePlacement(*kept) : std::nullopt;
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  const HMONITOR on = last ? MonitorFromRect(&last->frame, MONITOR_DEFAULTTONULL) : nullptr;
  if (on == nullptr || !GetMonitorInfoW(on, &monitor) || !GetWindowPlacement(window, &placement)) {
    ShowWindow(window, show_command);
    return;
  }
  // The frame is kept in screen coordinates; a placement's are the work area's of the primary
  // monitor.
  RECT frame = FitInto(last->frame, monitor.rcWork);
  POINT primary{0, 0};
  MONITORINFO first{};
  first.cbSize = sizeof first;
  if (GetMonitorInfoW(MonitorFromPoint(primary, MONITOR_DEFAULTTOPRIMARY), &first)) {
    OffsetRect(&frame, first.rcMonitor.left - first.rcWork.left,
               first.rcMonitor.top - first.rcWork.top);
  }
  placement.flags = 0;
  placement.rcNormalPosition = frame;
  const bool plain =
      show_command == SW_SHOWNORMAL || show_command == SW_SHOWDEFAULT || show_command == SW_SHOW;
  placement.showCmd = last->maximized && plain ? SW_SHOWMAXIMIZED : show_command;
  SetWindowPlacement(window, &placement);
}

void KeepPlacement(HWND window) {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (!GetWindowPlacement(window, &placement)) return;
  RECT frame = placement.rcNormalPosition;
  MONITORINFO first{};
  first.cbSize = sizeof first;
  if (GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &first)) {
    OffsetRect(&frame, first.rcWork.left - first.rcMonitor.left,
               first.rcWork.top - first.rcMonitor.top);
  }
  const bool maximized =
      placement.showCmd == SW_SHOWMAXIMIZED ||
      (placement.showCmd == SW_SHOWMINIMIZED && (placement.flags & WPF_RESTORETOMAXIMIZED) != 0);
  // A size that cannot be kept only means the next window opens where the system puts it.
  UserSettings().Set(kPlacementKey, PlacementText({frame, maximized})).IgnoreError();
}

}  // namespace tallivan
