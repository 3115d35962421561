# The README's stills of the show and the show's icons, drawn by mkstill from
# the show's own frames with the default picture: stills/NNs.png and
# icons/NxN.png. Included by the build for the lists; run as a script, it
# draws them:
#
#   cmake -DMKSTILL=mkstill -DPICTURE=galleri.jpg -DOUT=DIR [-DCHECK=DIR] -P stills.cmake
#
# writes DIR/stills and DIR/icons; with CHECK, fails unless every file is
# byte for byte the one under the CHECK folder.
set(stilltimes 05 20 30 45 60)  # s of show time of the README's strip of stills
set(stillsize 320x240)          # each still: the screen halved
set(icontime 45000)             # ms: the fire has eaten the lower part of the middle painting
set(iconcrop 192,0,256,256)     # the square of the screen around that painting and its fire
set(iconsizes 48 64 128 256)    # pixels: the icon theme's sizes for applications

if(NOT CMAKE_SCRIPT_MODE_FILE)
  return()
endif()
file(MAKE_DIRECTORY ${OUT}/stills ${OUT}/icons)
set(made "")
set(stills "")
foreach(t ${stilltimes})
  list(APPEND stills ${t}000:${OUT}/stills/${t}s.png)
  list(APPEND made stills/${t}s.png)
endforeach()
execute_process(COMMAND ${MKSTILL} --picture ${PICTURE} --size ${stillsize} ${stills} COMMAND_ERROR_IS_FATAL ANY)
foreach(n ${iconsizes})
  execute_process(COMMAND ${MKSTILL} --picture ${PICTURE} --crop ${iconcrop} --size ${n}x${n}
    ${icontime}:${OUT}/icons/${n}x${n}.png COMMAND_ERROR_IS_FATAL ANY)
  list(APPEND made icons/${n}x${n}.png)
endforeach()
if(CHECK)
  set(differ "")
  foreach(f ${made})
    file(SHA256 ${OUT}/${f} a)
    file(SHA256 ${CHECK}/${f} b)
    if(NOT a STREQUAL b)
      list(APPEND differ ${f})
    endif()
  endforeach()
  if(differ)
    message(FATAL_ERROR "mkstill no longer makes the committed ${differ}: look at ${OUT} and remake them "
      "with cmake --build build --target stills")
  endif()
  message(STATUS "mkstill makes the committed ${made} byte for byte")
endif()
