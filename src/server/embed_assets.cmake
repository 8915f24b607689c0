# Turns every file of the dashboard's folder into bytes in one C++ source,
# so the server carries its pages with it and needs no files at run time.
#   cmake -DWEB_DIR=... -DOUTPUT=... -P embed_assets.cmake
#
# The lines every page shares are written once, in parts/ (not served), and
# put in each page here, so the pages served are whole:
#   <!-- head: TITLE | DESCRIPTION -->  parts/head.html, with TITLE for its
#                          @title@ and DESCRIPTION for its @description@
#   <!-- header: PATH -->  parts/header.html, its link to PATH marked as the
#                          page shown; "<!-- header -->" marks none
#   <!-- points: WHOSE --> parts/points.html, the points-per-day chart and
#                          its table, WHOSE ("the team") in their names

# The page's text with its markers replaced by their parts.
function(fill_parts name text out)
  set(marker "<!-- head: ([^|>]*[^ |>]) \\| ([^>]*[^ >]) -->\n")
  while(text MATCHES "${marker}")
    set(found "${CMAKE_MATCH_0}")
    set(title "${CMAKE_MATCH_1}")
    set(description "${CMAKE_MATCH_2}")
    file(READ "${WEB_DIR}/parts/head.html" part)
    string(CONFIGURE "${part}" part @ONLY)
    string(REPLACE "${found}" "${part}" text "${text}")
  endwhile()
  set(marker "<!-- header(: ([^ >]+))? -->\n")
  while(text MATCHES "${marker}")
    set(found "${CMAKE_MATCH_0}")
    set(path "${CMAKE_MATCH_2}")
    file(READ "${WEB_DIR}/parts/header.html" part)
    if(path)
      set(link "<a href=\"${path}\">")
      string(FIND "${part}" "${link}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "${name}: the header has no link to ${path}")
      endif()
      string(REPLACE "${link}" "<a href=\"${path}\" aria-current=\"page\">" part "${part}")
    endif()
    string(REPLACE "${found}" "${part}" text "${text}")
  endwhile()
  set(marker "<!-- points: ([^>]*[^ >]) -->\n")
  while(text MATCHES "${marker}")
    set(found "${CMAKE_MATCH_0}")
    set(whose "${CMAKE_MATCH_1}")
    file(READ "${WEB_DIR}/parts/points.html" part)
    string(CONFIGURE "${part}" part @ONLY)
    string(REPLACE "${found}" "${part}" text "${text}")
  endwhile()
  if(text MATCHES "<!-- (head|header|points)[ :-]")
    message(FATAL_ERROR "${name}: a marker of a part not filled: ${CMAKE_MATCH_0}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

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
  if(name MATCHES "\\.html$")
    file(READ "${WEB_DIR}/${name}" text)
    fill_parts("${name}" "${text}" text)
    string(HEX "${text}" hex)
  else()
    file(READ "${WEB_DIR}/${name}" hex HEX)
  endif()
  # The ETag: the bytes served, hashed (a changed part changes every page's).
  string(SHA256 hash "${hex}")
  string(SUBSTRING "${hash}" 0 32 hash)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char asset${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${name}\", \"${type}\", asset${index}, ${size}, \"\\\"${hash}\\\"\"},\n")
  math(EXPR index "${index} + 1")
endforeach()
set(text "// Made by embed_assets.cmake from the dashboard's folder; not to be edited.
#include \"server/api/web_assets.h\"

namespace pelmora::server {
namespace {
${arrays}const WebAsset assets[] = {
${table}    {nullptr, nullptr, nullptr, 0, nullptr},
};
} // namespace

const WebAsset* webAssets() { return assets; }

} // namespace pelmora::server
")
file(WRITE "${OUTPUT}" "${text}")
