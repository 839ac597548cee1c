# Builds and runs docs/embedding.md's complete host as a host project would. The tree is installed
# into a scratch prefix and moved elsewhere, as a package manager or a host's own bundle
# does; then the host is built from the moved tree twice: with find_package(palvex) linking
# palvex::media alone (CMake), and with the flags of pkg-config palvex-media and an rpath to
# pkg-config's libdir (a compiler command as a Makefile writes it). Each must run without
# LD_LIBRARY_PATH, write only whole TS packets into its file, and print the library's line
# ("call stop") where PALVEX_DIAGNOSTICS says. With EMBED=ON, the same host adds palvex's
# sources with add_subdirectory instead, and palvex must add no tests, tools or install
# rules to it. Without EMBED, the README's first screen is followed too, as a user does in a
# new shell: its "Build and install" commands and the first commands after them, line by
# line, with this build standing for the one the README makes (apt-get, the configure and
# the build are left out) and a scratch HOME; palvex-mux must be found on the PATH it sets,
# with its man page, and turn a clip into whole TS packets.
#   cmake -DBUILD=<palvex build> -DSOURCE=<consumer> -DREADME=<README.md> -DHOST_DOC=<embedding.md>
#         -DWORK=<scratch> -DCXX=<compiler> [-DEMBED=ON -DPALVEX_SOURCE=<repository>] -P check_install.cmake
file(REMOVE_RECURSE ${WORK})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc)
    message(FATAL_ERROR "${what}:\n${out}")
  endif()
endfunction()

# The complete host, as docs/embedding.md shows it.
file(READ ${HOST_DOC} doc)
string(FIND "${doc}" "```cpp\n// A complete host" begin)
if(begin LESS 0)
  message(FATAL_ERROR "no complete host in ${HOST_DOC}")
endif()
math(EXPR begin "${begin} + 7")
string(SUBSTRING "${doc}" ${begin} -1 host)
string(FIND "${host}" "```" end)
string(SUBSTRING "${host}" 0 ${end} host)
set(host_source ${WORK}/host.cc)
file(WRITE ${host_source} "${host}")

# Runs a built host with PALVEX_DIAGNOSTICS set to diagnostics (unset when empty).
function(check_host what host diagnostics)
  set(ts ${WORK}/${what}.ts)
  if(diagnostics)
    set(setting PALVEX_DIAGNOSTICS=${diagnostics})
  else()
    set(setting --unset=PALVEX_DIAGNOSTICS)
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${setting} ${host} ${ts}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}${err}")
  endif()
  set(want_out "")
  set(want_err "")
  if(NOT diagnostics OR diagnostics STREQUAL "stdout")
    set(want_out "call stop\n")
  elseif(diagnostics STREQUAL "stderr")
    set(want_err "call stop\n")
  endif()
  if(NOT out STREQUAL want_out OR NOT err STREQUAL want_err)
    message(FATAL_ERROR "${what}, PALVEX_DIAGNOSTICS=${diagnostics}: standard output '${out}', standard error "
                        "'${err}'; expected '${want_out}' and '${want_err}'")
  endif()
  file(SIZE ${ts} size)
  math(EXPR packets "${size} / 188")
  math(EXPR rest "${size} % 188")
  file(READ ${ts} bytes HEX)
  set(synced 0)
  foreach(i RANGE 1 ${packets})
    math(EXPR at "(${i} - 1) * 376")
    string(SUBSTRING "${bytes}" ${at} 2 sync)
    if(sync STREQUAL "47")
      math(EXPR synced "${synced} + 1")
    endif()
  endforeach()
  if(packets LESS 3 OR rest OR NOT synced EQUAL packets)
    message(FATAL_ERROR "${what}: ${ts} holds ${size} bytes, ${synced} packets starting with 0x47")
  endif()
endfunction()

if(EMBED)
  run("add_subdirectory(palvex) failed" ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/embedded
      -DPALVEX_SOURCE_DIR=${PALVEX_SOURCE} -DHOST_SOURCE=${host_source} -DCMAKE_BUILD_TYPE=Release)
  run("the embedding host did not build" ${CMAKE_COMMAND} --build ${WORK}/embedded -j2)
  check_host(embedded ${WORK}/embedded/consumer "")
  run("the embedding host did not install" ${CMAKE_COMMAND} --install ${WORK}/embedded
      --prefix ${WORK}/embedded-prefix)
  file(GLOB_RECURSE installed ${WORK}/embedded-prefix/*)
  if(installed)
    message(FATAL_ERROR "palvex installed files from inside a host project: ${installed}")
  endif()
  return()
endif()

# The README's first screen: the two sh blocks under "## Build and install".
if(EXISTS ${BUILD}/tools/palvex-mux)
  file(READ ${README} readme)
  string(FIND "${readme}" "## Build and install" at)
  if(at LESS 0)
    message(FATAL_ERROR "no 'Build and install' in ${README}")
  endif()
  string(SUBSTRING "${readme}" ${at} -1 rest)
  set(script "set -ex\n")
  foreach(block 1 2)
    string(FIND "${rest}" "```sh\n" begin)
    math(EXPR begin "${begin} + 6")
    string(SUBSTRING "${rest}" ${begin} -1 rest)
    string(FIND "${rest}" "```" end)
    string(SUBSTRING "${rest}" 0 ${end} lines)
    string(SUBSTRING "${rest}" ${end} -1 rest)
    string(REPLACE "\n" ";" lines "${lines}")
    foreach(line IN LISTS lines)
      if(line MATCHES "^man ")  # where man finds the page, when man is there
        string(REGEX REPLACE "^man " "! command -v man >/dev/null || man -w " line "${line}")
      endif()
      if(NOT line MATCHES "^(sudo apt-get|cmake -S|cmake --build)")
        string(APPEND script "${line}\n")
      endif()
    endforeach()
  endforeach()
  string(APPEND script "test -f \"$HOME/.local/share/man/man1/palvex-mux.1\"\n")
  file(MAKE_DIRECTORY ${WORK}/fresh ${WORK}/home)
  file(CREATE_LINK ${BUILD} ${WORK}/fresh/build SYMBOLIC)
  file(WRITE ${WORK}/first-screen.sh "${script}")
  execute_process(COMMAND env -i HOME=${WORK}/home PATH=/usr/local/bin:/usr/bin:/bin sh ${WORK}/first-screen.sh
                  WORKING_DIRECTORY ${WORK}/fresh RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc)
    message(FATAL_ERROR "the README's first screen, followed in a new shell, failed:\n${script}\n${out}")
  endif()
  file(SIZE ${WORK}/fresh/test.ts size)
  math(EXPR rest "${size} % 188")
  if(size LESS 1880 OR rest)
    message(FATAL_ERROR "the README's first screen made test.ts of ${size} bytes")
  endif()
endif()

run("cmake --install failed" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/staging)
# The systemd unit names the tool where this install put it, not the configured prefix.
if(EXISTS ${WORK}/staging/lib/systemd/system/palvex-mux@.service)
  file(STRINGS ${WORK}/staging/lib/systemd/system/palvex-mux@.service exec REGEX "^ExecStart=")
  if(NOT exec STREQUAL "ExecStart=${WORK}/staging/bin/palvex-mux --plan /etc/palvex/%i.toml")
    message(FATAL_ERROR "the installed unit's ${exec} does not name ${WORK}/staging/bin/palvex-mux")
  endif()
endif()
file(RENAME ${WORK}/staging ${WORK}/moved)
set(prefix ${WORK}/moved)

# find_package, from the moved tree, the host linking palvex::media alone.
run("find_package(palvex) failed" ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DHOST_SOURCE=${host_source} -DCMAKE_BUILD_TYPE=Release)
run("the find_package host did not build" ${CMAKE_COMMAND} --build ${WORK}/consumer)
check_host(find-package ${WORK}/consumer/consumer stderr)

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
run("the pkg-config host did not build: ${CXX} -std=c++17 host.cc ${flags} -Wl,-rpath,${libdir}"
    ${CXX} -std=c++17 ${host_source} ${flags} -Wl,-rpath,${libdir} -o ${WORK}/host-pkg-config)
check_host(pkg-config ${WORK}/host-pkg-config "")
check_host(pkg-config-stdout ${WORK}/host-pkg-config stdout)
check_host(pkg-config-off ${WORK}/host-pkg-config off)
check_host(pkg-config-OFF ${WORK}/host-pkg-config OFF)
