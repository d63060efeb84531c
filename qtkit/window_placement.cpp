#include "qtkit/window_placement.h"

namespace orv {

bool placementUsable(const WindowRect& r) {
    auto pos = [](int v) { return v >= -10 && v < 3000; };
    auto len = [](int v) { return v > 0 && v < 3000; };
    return pos(r.left) && pos(r.top) && len(r.width) && len(r.height);
}

std::optional<WindowRect> storedPlacement(const CoreTables& t) {
    WindowRect r{t.settingNumber(Setting::WindowLeft), t.settingNumber(Setting::WindowTop),
                 t.settingNumber(Setting::WindowWidth), t.settingNumber(Setting::WindowHeight)};
    if (!placementUsable(r)) return std::nullopt;
    return r;
}

bool storedMaximized(const CoreTables& t) {
    return t.settingNumber(Setting::WindowMaximized) != 0;
}

void recordPlacement(CoreTables& t, bool maximized, const WindowRect& normal) {
    if (maximized) {
        t.setSettingNumber(Setting::WindowMaximized, 1);
        return;
    }
    t.setSettingNumber(Setting::WindowLeft, normal.left);
    t.setSettingNumber(Setting::WindowTop, normal.top);
    t.setSettingNumber(Setting::WindowWidth, normal.width);
    t.setSettingNumber(Setting::WindowHeight, normal.height);
    t.setSettingNumber(Setting::WindowMaximized, 0);
}

}  // namespace orv
