# SPDX-License-Identifier: MIT
# The release number is project()'s VERSION in CMakeLists.txt. The files that cannot take it from
# there (dpkg reads the Debian changelog, npm reads web/package.json, the manual pages carry it in
# their header) must say the same, or the configure stops and names each one that does not.
# Included by CMakeLists.txt; also run alone, as the tests do:
#   cmake -DSOURCE_DIR=. -DVERSION=1.0.0 -P cmake/check_versions.cmake

function(tokenbridge_check_versions source_dir version)
  set(found_in "")  # FILE=VERSION for each file, VERSION empty where none was found

  # "tokenbridge (EPOCH:UPSTREAM-REVISION) ...", the newest entry first; epoch and revision are optional.
  file(STRINGS ${source_dir}/debian/changelog top LIMIT_COUNT 1)
  set(found "")
  if(top MATCHES "^tokenbridge \\(([0-9]+:)?([^)]+)\\)")
    string(REGEX REPLACE "-[^-]*$" "" found "${CMAKE_MATCH_2}")
  endif()
  list(APPEND found_in "debian/changelog=${found}")

  foreach(file web/package.json web/package-lock.json)
    file(READ ${source_dir}/${file} json)
    string(JSON found ERROR_VARIABLE error GET "${json}" version)
    if(error)
      set(found "")
    endif()
    list(APPEND found_in "${file}=${found}")
  endforeach()

  # .TH NAME SECTION "DATE" "tokenbridge VERSION" ...
  foreach(page debian/tokenbridged.8 debian/softtoken.1 debian/tokenbridge-agent.1)
    file(STRINGS ${source_dir}/${page} header REGEX "^\\.TH " LIMIT_COUNT 1)
    set(found "")
    if(header MATCHES "\"tokenbridge ([^\"]*)\"")
      set(found "${CMAKE_MATCH_1}")
    endif()
    list(APPEND found_in "${page}=${found}")
  endforeach()

  set(wrong "")
  foreach(entry IN LISTS found_in)
    string(REGEX MATCH "^([^=]*)=(.*)$" _ "${entry}")
    set(file "${CMAKE_MATCH_1}")
    set(found "${CMAKE_MATCH_2}")
    if(found STREQUAL "")
      set(found "(no version found)")
    endif()
    if(NOT found STREQUAL version)
      string(APPEND wrong "\n  ${file}: ${found}")
    endif()
  endforeach()
  if(wrong)
    message(FATAL_ERROR "The release is ${version} (project() in CMakeLists.txt), but these say otherwise:${wrong}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  tokenbridge_check_versions(${SOURCE_DIR} ${VERSION})
endif()
