# What the shipped OrvellaService.exe gets beyond its sources: exploit mitigations, and
# the same bytes from every clean build of one commit wherever it is checked out.
# Included from CMakeLists.txt once the orvella_core and OrvellaService targets exist.

if(MINGW)
    # libssp carries the checks that the stack protector and fortified calls make; the
    # exe links with -static, so it is linked in and imports no libssp-0.dll.
    set(ORVELLA_HARDENING -fstack-protector-strong -D_FORTIFY_SOURCE=2)
    # The source and build folders would otherwise reach the binary through __FILE__ and
    # debug information. GCC tries the maps last first: the build folder may lie inside
    # the source folder.
    set(ORVELLA_PATH_MAPS
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
        -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
    foreach(target orvella_core OrvellaService)
        target_compile_options(${target} PRIVATE
            "$<$<COMPILE_LANGUAGE:CXX>:${ORVELLA_HARDENING};${ORVELLA_PATH_MAPS}>")
    endforeach()
    # Without TERMINAL_SERVER_AWARE a terminal-server session would give the process
    # compatibility shims it does not need.
    target_link_options(OrvellaService PRIVATE -Wl,--tsaware)
    # Whatever links the core, the test programs included, needs libssp with it.
    target_link_options(orvella_core INTERFACE -fstack-protector-strong)
    # Seeds the canary before libssp would, without a cryptographic service provider.
    target_sources(OrvellaService PRIVATE src/entry/SeedStackGuard.cpp)

    # Debian's MinGW linker writes SOURCE_DATE_EPOCH, when set, as the PE header's time
    # instead of the time of the link. One from the environment wins (a release build
    # may pin it); otherwise the last commit's time, so that two builds of the same
    # commit agree. Taken at configure time: every build script configures first.
    set(ORVELLA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
    if(ORVELLA_SOURCE_DATE_EPOCH STREQUAL "")
        find_package(Git QUIET)
        if(GIT_FOUND)
            execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                            WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
                            OUTPUT_VARIABLE ORVELLA_SOURCE_DATE_EPOCH
                            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        endif()
    endif()
    if(ORVELLA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
        set_property(TARGET OrvellaService PROPERTY CXX_LINKER_LAUNCHER
            ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ORVELLA_SOURCE_DATE_EPOCH})
        message(STATUS "OrvellaService.exe time stamp: SOURCE_DATE_EPOCH=${ORVELLA_SOURCE_DATE_EPOCH}")
    else()
        message(STATUS "No SOURCE_DATE_EPOCH and no commit: OrvellaService.exe carries the link time")
    endif()
endif()

if(MSVC)
    # Control Flow Guard and CET shadow-stack compatibility, which MinGW GCC cannot give.
    # ASLR with high entropy, DEP and terminal-server awareness are the MSVC linker's
    # defaults for a 64-bit executable.
    foreach(target orvella_core OrvellaService)
        target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:/guard:cf>")
    endforeach()
    target_link_options(OrvellaService PRIVATE /guard:cf /CETCOMPAT)
endif()
