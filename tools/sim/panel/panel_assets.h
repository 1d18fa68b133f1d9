// panel_assets.h - the web panel's page, style and script, built into the
// program from tools/sim/panel/ (see embed_assets.cmake) so that it works
// offline and needs no files beside the binary.
#ifndef MCU_SIM_PANEL_ASSETS_H
#define MCU_SIM_PANEL_ASSETS_H

#include <cstddef>
#include <string>

namespace mcu_sim {

struct PanelAsset {
    const char *path;  // "/index.html"
    const char *type;  // its Content-Type
    const unsigned char *data;
    std::size_t size;
};

// The asset served at `path`, or null.
const PanelAsset *find_panel_asset(const std::string &path);

}  // namespace mcu_sim

#endif  // MCU_SIM_PANEL_ASSETS_H
