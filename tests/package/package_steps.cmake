# One step of the package test (tests/package/CMakeLists.txt):
#   cmake -DSTEP=<step> -DSOURCE_DIR=... -DBUILD_DIR=... (the folders and tools) -P package_steps.cmake
#   install  a fresh `cmake --install` of the build into PREFIX, and what it holds
#   example  examples/service configured and built against PREFIX, and only against it
#   run      the example run under Wine, and the debug file it wrote
#   zip      the release zip CPack makes, and what it holds
# A step that fails says why, with the output of the tool it ran.
cmake_minimum_required(VERSION 3.25)

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

# Runs a command; fails with its output unless it exits with 0. Its standard output is
# left in run_output.
function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    fail("${what} failed (${status}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# What an installed tree and the zip hold alike, given their files as relative paths:
# the two programs in bin/; the library, the process-wide objects (their own and the
# message table's) and the CMake package in lib/; every header of src/ at its subsystem
# folder under include/varrowmere/; the README and any license text. Nothing else.
function(check_release_tree what files)
  file(GLOB_RECURSE headers LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR}/src ${SOURCE_DIR}/src/*.h)
  list(TRANSFORM headers PREPEND include/varrowmere/)
  file(GLOB license_texts LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR}
    ${SOURCE_DIR}/LICENSE ${SOURCE_DIR}/LICENSE.* ${SOURCE_DIR}/COPYING)
  set(expected
    bin/varrowmere-perf.exe bin/varrowmere-logger.exe
    lib/libvarrowmere.a
    lib/cmake/varrowmere/varrowmere-config.cmake
    lib/cmake/varrowmere/varrowmere-config-version.cmake
    lib/cmake/varrowmere/varrowmere-targets.cmake
    README.md ${license_texts} ${headers})
  # Named by the build's configuration and by CMake's object naming.
  set(expected_patterns
    "^lib/cmake/varrowmere/varrowmere-targets-[a-z]+\\.cmake$"
    "^lib/objects-[^/]+/varrowmere_process/app/process_objects\\.cpp\\.obj$"
    "^lib/objects-[^/]+/varrowmere_process/event_messages/event_messages\\.rc\\.[a-z]+$")

  set(problems "")
  foreach(file IN LISTS expected)
    if(NOT file IN_LIST files)
      string(APPEND problems "\n  missing: ${file}")
    endif()
  endforeach()
  foreach(pattern IN LISTS expected_patterns)
    set(matching ${files})
    list(FILTER matching INCLUDE REGEX "${pattern}")
    list(LENGTH matching count)
    if(NOT count EQUAL 1)
      string(APPEND problems "\n  ${count} files matching ${pattern}, not 1: ${matching}")
    endif()
  endforeach()
  foreach(file IN LISTS files)
    if(file IN_LIST expected)
      continue()
    endif()
    set(known FALSE)
    foreach(pattern IN LISTS expected_patterns)
      if(file MATCHES "${pattern}")
        set(known TRUE)
      endif()
    endforeach()
    if(NOT known)
      string(APPEND problems "\n  not expected: ${file}")
    endif()
  endforeach()
  if(problems)
    fail("${what}:${problems}")
  endif()
  list(LENGTH files count)
  message(STATUS "${what}: ${count} files, as expected")
endfunction()

# Text files only: the programs, objects and libraries hold NUL bytes.
function(read_text_files out)
  set(text "")
  foreach(file IN LISTS ARGN)
    if(NOT file MATCHES "\\.(obj|res|a|exe)$")
      file(READ ${file} content)
      string(APPEND text "${content}\n")
    endif()
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  run_checked("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
  check_release_tree("the installed tree ${PREFIX}" "${files}")

  # The package must work wherever the tree is copied, and carries none of this build's
  # own warning switches.
  file(GLOB package_files ${PREFIX}/lib/cmake/varrowmere/*.cmake)
  read_text_files(package_text ${package_files})
  foreach(tree IN ITEMS ${SOURCE_DIR} ${BUILD_DIR})
    string(FIND "${package_text}" "${tree}" at)
    if(NOT at EQUAL -1)
      fail("the CMake package names a path of this machine (${tree}):\n${package_text}")
    endif()
  endforeach()
  if(package_text MATCHES "-W(all|extra|error)")
    fail("the CMake package hands this build's warning switches to its users:\n${package_text}")
  endif()

elseif(STEP STREQUAL "example")
  file(REMOVE_RECURSE ${EXAMPLE_BUILD})
  set(launcher "")
  if(COMPILER_LAUNCHER)
    set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${COMPILER_LAUNCHER})
  endif()
  run_checked("configuring examples/service"
    ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/service -B ${EXAMPLE_BUILD} -G ${GENERATOR}
    -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -DCMAKE_PREFIX_PATH=${PREFIX}
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON ${launcher})
  run_checked("building examples/service" ${CMAKE_COMMAND} --build ${EXAMPLE_BUILD})
  if(NOT EXISTS ${EXAMPLE_BUILD}/example-service.exe)
    fail("no example-service.exe in ${EXAMPLE_BUILD}")
  endif()

  file(STRINGS ${EXAMPLE_BUILD}/CMakeCache.txt found REGEX "^varrowmere_DIR:")
  if(NOT found STREQUAL "varrowmere_DIR:PATH=${PREFIX}/lib/cmake/varrowmere")
    fail("the example found the package elsewhere than in ${PREFIX}: ${found}")
  endif()
  # The headers its compile read, from the compiler's dependency list: ours come from
  # the installed tree, none from this source tree.
  set(target_dir ${EXAMPLE_BUILD}/CMakeFiles/example-service.dir)
  file(GLOB dependency_lists ${target_dir}/*.d)
  if(NOT dependency_lists)
    fail("no dependency list of the example's compile in ${target_dir}")
  endif()
  set(installed_headers 0)
  foreach(dependency_list IN LISTS dependency_lists)
    file(READ ${dependency_list} dependencies)
    string(REGEX REPLACE "^[^:]+: " "" dependencies "${dependencies}")
    string(REGEX REPLACE "[ \t\r\n\\]+" ";" dependencies "${dependencies}")
    list(REMOVE_ITEM dependencies "")
    foreach(dependency IN LISTS dependencies)
      # Relative to the folder the compiler ran in.
      cmake_path(ABSOLUTE_PATH dependency BASE_DIRECTORY ${EXAMPLE_BUILD} NORMALIZE OUTPUT_VARIABLE file)
      cmake_path(IS_PREFIX PREFIX "${file}" NORMALIZE from_prefix)
      cmake_path(IS_PREFIX SOURCE_DIR "${file}" NORMALIZE from_source)
      if(from_prefix)
        math(EXPR installed_headers "${installed_headers} + 1")
      elseif(from_source AND NOT file STREQUAL "${SOURCE_DIR}/examples/service/main.cpp")
        fail("the example's compile read ${file}, which is not in the installed tree")
      endif()
    endforeach()
  endforeach()
  if(installed_headers LESS 1)
    fail("the example's compile read no header of ${PREFIX}")
  endif()

  # Its compile and link lines: the installed library and objects, what the library's
  # callers must share with it, and nothing of this build tree.
  file(GLOB_RECURSE target_files LIST_DIRECTORIES false ${target_dir}/*)
  read_text_files(build_text ${EXAMPLE_BUILD}/compile_commands.json ${target_files})
  set(used
    "${PREFIX}/lib/libvarrowmere.a"
    "${PREFIX}/lib/objects-"
    "-D__USE_MINGW_ANSI_STDIO=0"
    "-fnon-call-exceptions"
    "-static")
  if(PROCESSOR STREQUAL "x86_64")
    # The x64 fault translation's hook in place of the C++ personality routine.
    list(APPEND used "-Wl,--wrap=__gxx_personality_seh0")
  endif()
  foreach(text IN LISTS used)
    string(FIND "${build_text}" "${text}" at)
    if(at EQUAL -1)
      fail("the example's build does not use ${text}")
    endif()
  endforeach()
  foreach(tree IN ITEMS ${SOURCE_DIR}/src/ ${BUILD_DIR}/src/ ${BUILD_DIR}/lib/ ${BUILD_DIR}/bin/ ${BUILD_DIR}/tools/)
    string(FIND "${build_text}" "${tree}" at)
    if(NOT at EQUAL -1)
      fail("the example's build reaches into ${tree}")
    endif()
  endforeach()
  if(build_text MATCHES "-W(all|extra|error)")
    fail("the example is built with this build's own warning switches")
  endif()
  message(STATUS "example-service.exe built against ${PREFIX} alone")

elseif(STEP STREQUAL "run")
  set(program ${EXAMPLE_BUILD}/example-service.exe)
  set(trace ${EXAMPLE_BUILD}/example-service-trace.txt)
  file(REMOVE ${trace})
  # Its streams go to files, not pipes: a Wine process that its start brings up (the
  # desktop process, when none runs) inherits them, and a pipe would keep this step
  # waiting until that process ends.
  set(output ${EXAMPLE_BUILD}/example-service-output.txt)
  execute_process(COMMAND ${WINE_RUN} ${program} RESULT_VARIABLE status
    INPUT_FILE /dev/null OUTPUT_FILE ${output} ERROR_FILE ${output})
  if(NOT status EQUAL 0)
    file(READ ${output} text)
    fail("example-service.exe under Wine failed (${status}):\n${text}")
  endif()
  if(NOT EXISTS ${trace})
    fail("example-service.exe wrote no ${trace}")
  endif()
  # Lines end in CR LF; file(READ) hands them over with LF alone.
  file(READ ${trace} log)
  set(head "\\[30000\\] \\([0-9/]+ [0-9:.]+\\):")

  if(NOT log MATCHES "^${head}{0x[0-9A-F]+} Current Date: [0-9]+/[0-9]+/[0-9]+\r?\n")
    fail("the debug file does not start with its date line:\n${log}")
  endif()
  if(NOT log MATCHES "\r?\n====== END OF LOG ======\r?\n$")
    fail("the debug file does not end with its end-of-log line:\n${log}")
  endif()
  # Each worker thread's five records, under the identifier its name was registered with.
  set(threads "")
  foreach(worker IN ITEMS 1 2)
    if(NOT log MATCHES "EVENT=Register_thread, THREADID=(0x[0-9A-F]+), THREADNAME=\"worker-${worker}\"\r?\n")
      fail("the debug file has no register line of worker-${worker}:\n${log}")
    endif()
    set(thread ${CMAKE_MATCH_1})
    list(APPEND threads ${thread})
    string(REGEX MATCHALL "${head}{[0-9A-Fx]+} record [0-9]+ of worker ${worker}\r?\n" records "${log}")
    list(LENGTH records count)
    if(NOT count EQUAL 5)
      fail("worker-${worker}: ${count} records in the debug file, not 5:\n${log}")
    endif()
    foreach(number RANGE 1 5)
      if(NOT log MATCHES "\n${head}{${thread}} record ${number} of worker ${worker}\r?\n")
        fail("worker-${worker}: no record ${number} from thread ${thread}:\n${log}")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES threads)
  list(LENGTH threads count)
  if(NOT count EQUAL 2)
    fail("both workers logged from one thread (${threads}):\n${log}")
  endif()
  # The main thread's two records frame the workers'.
  string(FIND "${log}" "} example-service started\n" started)
  string(FIND "${log}" "} record 1 of worker 1\n" first)
  string(FIND "${log}" "} record 5 of worker 2\n" last)
  string(FIND "${log}" "} example-service stopping\n" stopping)
  if(started EQUAL -1 OR stopping EQUAL -1 OR NOT started LESS first OR NOT last LESS stopping)
    fail("the main thread's records are missing or out of place:\n${log}")
  endif()

  # varrowmere::process brought the event message table (resource type 11).
  run_checked("objdump of example-service.exe" ${OBJDUMP} -p ${program})
  # A type entry of the resource directory, unlike a name or language entry, stands three
  # spaces in: "010   Entry: ID: 0x00000b, Value: ...".
  if(NOT run_output MATCHES "\n[0-9a-f]+   Entry: ID: 0x00000b,")
    fail("example-service.exe carries no message table:\n${run_output}")
  endif()
  message(STATUS "example-service.exe logged 5 records from each of 2 threads to ${trace}")

elseif(STEP STREQUAL "zip")
  file(REMOVE_RECURSE ${ZIP_FOLDER})
  run_checked("cpack" ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${ZIP_FOLDER})
  set(zip ${ZIP_FOLDER}/${ZIP_NAME}.zip)
  if(NOT EXISTS ${zip})
    file(GLOB made ${ZIP_FOLDER}/*)
    fail("cpack made no ${ZIP_NAME}.zip but: ${made}\n${run_output}")
  endif()
  run_checked("listing ${zip}" ${CMAKE_COMMAND} -E tar tf ${zip})
  string(REGEX REPLACE "\n$" "" listing "${run_output}")
  string(REPLACE "\n" ";" entries "${listing}")
  # Everything sits in one folder named after the zip, as an operator unpacks it.
  set(files "")
  foreach(entry IN LISTS entries)
    if(NOT entry MATCHES "^${ZIP_NAME}/")
      fail("${entry} in ${zip} is outside the folder ${ZIP_NAME}/")
    endif()
    string(LENGTH "${ZIP_NAME}/" folder_length)
    string(SUBSTRING "${entry}" ${folder_length} -1 file)
    if(NOT file STREQUAL "" AND NOT file MATCHES "/$")
      list(APPEND files ${file})
    endif()
  endforeach()
  check_release_tree("${ZIP_NAME}.zip" "${files}")

else()
  fail("unknown STEP '${STEP}'")
endif()
