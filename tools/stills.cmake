# The README's stills of the show and the show's icons, drawn by mkstill from
# the show's own frames with the default picture: stills/NNs.png and
# icons/NxN.png. Included by the build for the lists; run as a script, it
# draws them:
#
#   cmake -DMKSTILL=mkstill -DPICTURE=galleri.jpg -DOUT=DIR [-DCHECK=DIR] -P stills.cmake
#
# writes DIR/stills and DIR/icons; with CHECK, fails unless every file is
# byte for byte the one under the CHECK folder.
#
# The files are the classic SDL 1.2 runtime's. The SDL-2-based runtime
# blends the fading picture by SDL 2's rules, which gives other bytes, so
# where mkstill runs on it (the only runtime from Debian 13 on, or picked
# with LD_LIBRARY_PATH), its files that differ are its own, kept in
# tests/stills-compat/: the check takes those where they are there, and
# writing puts the ones that differ from DIR's there instead of over them.
set(stilltimes 05 20 30 45 60)  # s of show time of the README's strip of stills
set(stillsize 320x240)          # each still: the screen halved
set(icontime 45000)             # ms: the fire has eaten the lower part of the middle painting
set(iconcrop 192,0,256,256)     # the square of the screen around that painting and its fire
set(iconsizes 48 64 128 256)    # pixels: the icon theme's sizes for applications

if(NOT CMAKE_SCRIPT_MODE_FILE)
  return()
endif()
execute_process(COMMAND ${MKSTILL} --runtime OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE
  COMMAND_ERROR_IS_FATAL ANY)
set(own tests/stills-compat)            # the SDL-2-based runtime's own files, where they differ
set(into ${OUT})
if(runtime STREQUAL "compat" AND NOT CHECK)
  set(into ${CMAKE_CURRENT_BINARY_DIR}/stills-compat)
endif()
file(MAKE_DIRECTORY ${into}/stills ${into}/icons)
set(made "")
set(stills "")
foreach(t ${stilltimes})
  list(APPEND stills ${t}000:${into}/stills/${t}s.png)
  list(APPEND made stills/${t}s.png)
endforeach()
execute_process(COMMAND ${MKSTILL} --picture ${PICTURE} --size ${stillsize} ${stills} COMMAND_ERROR_IS_FATAL ANY)
foreach(n ${iconsizes})
  execute_process(COMMAND ${MKSTILL} --picture ${PICTURE} --crop ${iconcrop} --size ${n}x${n}
    ${icontime}:${into}/icons/${n}x${n}.png COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND made icons/${n}x${n}.png)
endforeach()
if(runtime STREQUAL "compat" AND NOT CHECK)
  file(REMOVE_RECURSE ${OUT}/${own})
  foreach(f ${made})
    file(SHA256 ${into}/${f} a)
    file(SHA256 ${OUT}/${f} b)
    if(NOT a STREQUAL b)
      configure_file(${into}/${f} ${OUT}/${own}/${f} COPYONLY)
    endif()
  endforeach()
endif()
if(CHECK)
  set(differ "")
  foreach(f ${made})
    set(want ${CHECK}/${f})
    if(runtime STREQUAL "compat" AND EXISTS ${CHECK}/${own}/${f})
      set(want ${CHECK}/${own}/${f})
    endif()
    file(SHA256 ${OUT}/${f} a)
    file(SHA256 ${want} b)
    if(NOT a STREQUAL b)
      list(APPEND differ ${f})
    endif()
  endforeach()
  if(differ)
    message(FATAL_ERROR "mkstill no longer makes the committed ${differ} on the ${runtime} runtime: look "
      "at ${OUT} and remake them with cmake --build build --target stills (on each runtime)")
  endif()
  message(STATUS "mkstill makes the committed ${made} byte for byte, on the ${runtime} runtime")
endif()
