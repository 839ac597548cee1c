# Installs the build tree into a scratch prefix and moves the installed tree elsewhere, as a
# package manager or a host's own bundle does; then a separate host project uses the moved
# tree twice: with find_package(palvex) (CMake) and with the flags of pkg-config palvex-media
# (a compiler command as a Makefile writes it). Both consumers must build and mux. With
# EMBED=ON, the same host adds palvex's sources with add_subdirectory instead, and palvex
# must add no tests, tools or install rules to it.
#   cmake -DBUILD=<palvex build> -DSOURCE=<consumer> -DWORK=<scratch> -DCXX=<compiler>
#         [-DEMBED=ON -DPALVEX_SOURCE=<repository>] -P check_install.cmake
file(REMOVE_RECURSE ${WORK})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc)
    message(FATAL_ERROR "${what}:\n${out}")
  endif()
endfunction()

if(EMBED)
  run("add_subdirectory(palvex) failed" ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/embedded
      -DPALVEX_SOURCE_DIR=${PALVEX_SOURCE} -DCMAKE_BUILD_TYPE=Release)
  run("the embedding consumer did not build" ${CMAKE_COMMAND} --build ${WORK}/embedded -j2)
  run("the embedding consumer did not mux" ${WORK}/embedded/consumer)
  run("the embedding consumer did not install" ${CMAKE_COMMAND} --install ${WORK}/embedded
      --prefix ${WORK}/embedded-prefix)
  file(GLOB_RECURSE installed ${WORK}/embedded-prefix/*)
  if(installed)
    message(FATAL_ERROR "palvex installed files from inside a host project: ${installed}")
  endif()
  return()
endif()

run("cmake --install failed" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/staging)
file(RENAME ${WORK}/staging ${WORK}/moved)
set(prefix ${WORK}/moved)

# find_package, from the moved tree.
run("find_package(palvex) failed" ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run("the find_package consumer did not build" ${CMAKE_COMMAND} --build ${WORK}/consumer)
run("the find_package consumer did not mux" ${WORK}/consumer/consumer)

# pkg-config, from the moved tree: only its own files, none of the machine's.
file(GLOB_RECURSE pc ${prefix}/*/palvex-media.pc)
if(NOT pc)
  message(FATAL_ERROR "no palvex-media.pc installed")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
set(ENV{PKG_CONFIG_LIBDIR} ${pcdir})
execute_process(COMMAND pkg-config --variable=libdir palvex OUTPUT_VARIABLE libdir
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(rc OR NOT IS_DIRECTORY "${libdir}" OR NOT EXISTS "${libdir}/libpalvex_media.a")
  message(FATAL_ERROR "pkg-config palvex: libdir '${libdir}' is not that of the moved tree")
endif()
execute_process(COMMAND pkg-config --cflags --libs palvex-media OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(rc OR NOT flags MATCHES "-lpalvex_media .*-lpalvex( |$)" OR NOT flags MATCHES "-I")
  message(FATAL_ERROR "pkg-config palvex-media failed: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("the pkg-config consumer did not build: ${CXX} -std=c++17 main.cc ${flags}"
    ${CXX} -std=c++17 ${SOURCE}/main.cc ${flags} -o ${WORK}/consumer-pkg-config)
run("the pkg-config consumer did not mux"
    ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK}/consumer-pkg-config)
