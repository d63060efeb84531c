#pragma once
// Where the main window comes up and what is remembered of it: settings numbers 48 to 51 hold
// the last normal rectangle, 61 whether the window was maximized.
#include <optional>

#include "core/core_tables.h"

namespace orv {

namespace Setting {
enum : int { WindowLeft = 48, WindowTop = 49, WindowWidth = 50, WindowHeight = 51 };
}

struct WindowRect {
    int left = 0, top = 0, width = 0, height = 0;
    bool operator==(const WindowRect&) const = default;
};

// Whether a stored rectangle may be used: left and top from -10 up to 2999, width and height
// from 1 up to 2999. Anything else comes from a damaged file or a vanished screen.
bool placementUsable(const WindowRect& r);
// The stored rectangle when it is usable.
std::optional<WindowRect> storedPlacement(const CoreTables& t);
bool storedMaximized(const CoreTables& t);
// At shutdown: a maximized window keeps the last normal rectangle for the next start.
void recordPlacement(CoreTables& t, bool maximized, const WindowRect& normal);

}  // namespace orv
