# Writes OUTPUT, a C++ source holding the files FILES (a comma-separated
# list of names under SOURCE_DIR) as byte arrays and a find_panel_asset() over them.
# Run at build time (cmake -P) so that an edited page rebuilds the program.
string(REPLACE "," ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ "${SOURCE_DIR}/${name}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND body "const unsigned char kAsset${index}[] = {\n${bytes}};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", kAsset${index}, sizeof kAsset${index}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from tools/sim/panel by embed_assets.cmake; do not edit.
#include \"panel_assets.h\"

namespace mcu_sim {
namespace {
${body}
const PanelAsset kAssets[] = {
${table}};
}  // namespace

const PanelAsset *find_panel_asset(const std::string &path) {
    for (const PanelAsset &a : kAssets)
        if (path == a.path) return &a;
    return nullptr;
}

}  // namespace mcu_sim
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
