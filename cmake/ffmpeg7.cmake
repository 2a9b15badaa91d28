# FFmpeg 7 through pkg-config, as the imported target PkgConfig::FFMPEG. When it is not
# found, the build stops with one line naming what is missing and the versions needed
# (the leading space keeps CMake from wrapping it).
set(AVARRAY_FFMPEG_MODULES
  libavformat>=61 libavcodec>=61 libavutil>=59 libswscale>=8 libswresample>=5)
find_package(PkgConfig QUIET)
if(NOT PKG_CONFIG_FOUND)
  string(REPLACE ";" ", " needed "${AVARRAY_FFMPEG_MODULES}")
  message(FATAL_ERROR " avarray needs pkg-config to find FFmpeg 7: ${needed}")
endif()
# pkg-config is asked again at every configure: a persistent build tree must follow
# PKG_CONFIG_PATH to another FFmpeg rather than keep the one it found first.
unset(__pkg_config_checked_FFMPEG CACHE)
set(missing "")
foreach(module IN LISTS AVARRAY_FFMPEG_MODULES)
  string(MAKE_C_IDENTIFIER "${module}" id)
  unset(__pkg_config_checked_AVARRAY_CHECK_${id} CACHE)
  pkg_check_modules(AVARRAY_CHECK_${id} QUIET "${module}")
  if(NOT AVARRAY_CHECK_${id}_FOUND)
    string(REGEX REPLACE ">=.*" "" name "${module}")
    execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --modversion ${name}
                    OUTPUT_VARIABLE have ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(have)
      list(APPEND missing "${module} (found ${have})")
    else()
      list(APPEND missing "${module} (not found)")
    endif()
  endif()
endforeach()
if(missing)
  string(REPLACE ";" ", " missing "${missing}")
  message(FATAL_ERROR " avarray needs FFmpeg 7 from pkg-config (PKG_CONFIG_PATH=<prefix>/lib/pkgconfig): "
                      "${missing}")
endif()
pkg_check_modules(FFMPEG REQUIRED QUIET IMPORTED_TARGET ${AVARRAY_FFMPEG_MODULES})
