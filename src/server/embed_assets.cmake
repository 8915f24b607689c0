# Turns every file of the dashboard's folder into bytes in one C++ source,
# so the server carries its pages with it and needs no files at run time.
#   cmake -DWEB_DIR=... -DOUTPUT=... -P embed_assets.cmake
file(GLOB files RELATIVE "${WEB_DIR}" "${WEB_DIR}/*")
list(SORT files)
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS files)
  if(IS_DIRECTORY "${WEB_DIR}/${name}" OR name MATCHES "^\\.")
    continue()
  endif()
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.svg$")
    set(type "image/svg+xml")
  elseif(name MATCHES "\\.png$")
    set(type "image/png")
  else()
    set(type "application/octet-stream")
  endif()
  file(READ "${WEB_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char asset${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", asset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
set(text "// Made by embed_assets.cmake from the dashboard's folder; not to be edited.
#include \"server/web_assets.h\"

namespace pelmora_server {
namespace {
${arrays}const WebAsset assets[] = {
${table}    {nullptr, nullptr, nullptr, 0},
};
} // namespace

const WebAsset* webAssets() { return assets; }

} // namespace pelmora_server
")
file(WRITE "${OUTPUT}" "${text}")
