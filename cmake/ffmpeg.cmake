# FFmpeg 7.1 to 9.x through pkg-config, as the imported target PkgConfig::FFMPEG. When it
# is missing or of another version, the build stops with one line naming what was found
# and the versions supported (the leading space keeps CMake from wrapping it).
set(AVARRAY_FFMPEG_MODULES libavformat libavcodec libavutil libswscale libswresample)
# The libavformat versions of the FFmpeg releases supported: 61.7 is FFmpeg 7.1, 63.x is 9.x.
set(AVARRAY_LAVF_MIN 61.7)
set(AVARRAY_LAVF_BELOW 64)
set(supported "FFmpeg 7.1 to 9.x (libavformat ${AVARRAY_LAVF_MIN} to 63.x)")
find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  message(FATAL_ERROR " avarray needs pkg-config to find ${supported}")
endif()
# pkg-config is asked again at every configure: a persistent build tree must follow
# PKG_CONFIG_PATH to another FFmpeg rather than keep the one it found first.
unset(__pkg_config_checked_FFMPEG CACHE)
set(found "")
set(missing "")
foreach(module IN LISTS AVARRAY_FFMPEG_MODULES)
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --modversion ${module}
                  OUTPUT_VARIABLE have ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(have)
    list(APPEND found "${module} ${have}")
  else()
    list(APPEND missing "${module}")
  endif()
  if(module STREQUAL "libavformat")
    set(lavf "${have}")
  endif()
endforeach()
string(REPLACE ";" ", " found_text "${found}")
if(missing)
  string(REPLACE ";" ", " missing "${missing}")
  if(found_text)
    set(found_text "; found ${found_text}")
  endif()
  message(FATAL_ERROR " avarray needs ${supported} from pkg-config "
                      "(PKG_CONFIG_PATH=<prefix>/lib/pkgconfig): ${missing} not found${found_text}")
endif()
if(lavf VERSION_LESS AVARRAY_LAVF_MIN OR NOT lavf VERSION_LESS AVARRAY_LAVF_BELOW)
  # Since FFmpeg 4, a release's libavformat major version is the release's major plus 54.
  string(REGEX MATCH "^[0-9]+" lavf_major "${lavf}")
  math(EXPR release "${lavf_major} - 54")
  message(FATAL_ERROR " avarray supports ${supported}; pkg-config finds FFmpeg ${release}.x: "
                      "${found_text}")
endif()
pkg_check_modules(FFMPEG REQUIRED QUIET IMPORTED_TARGET ${AVARRAY_FFMPEG_MODULES})
