# LICENCIAS\ in the shipping folder: Duplivo's licence, and the notices owed for what ships beside
# it: Qt (LGPL-3.0 with the GPL-3.0 it adds to, where its source is, how the kit is built, and
# Debian's record of its source's authors and licences), the MinGW runtime (Debian's records of
# its packages) and SQLite. Licence texts come from this system, never from copies in the
# repository; the index, LEAME.txt, names the versions of the kit and the packages in use. Every
# text gets Windows line ends, for Notepad.

set(DUPLIVO_LICENCES ${CMAKE_BINARY_DIR}/LICENCIAS)
file(REMOVE_RECURSE ${DUPLIVO_LICENCES})

# Writes a text file of LICENCIAS\ from `source` with Windows line ends, its @VARIABLES@
# replaced when CONFIGURE is given; a change to the source reconfigures.
function(duplivo_licence_text source name)
    file(READ "${source}" text)
    if(ARGV2 STREQUAL "CONFIGURE")
        string(CONFIGURE "${text}" text @ONLY)
    endif()
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${DUPLIVO_LICENCES}/${name}" "${text}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endfunction()

# The Debian package that holds `path` on this machine, as `prefix`_PACKAGE, _VERSION, _SOURCE
# (source package and version), _SOURCE_URL (where Debian keeps that source for good) and
# _COPYRIGHT (the package's record of authors and licences).
function(duplivo_debian_package path prefix)
    file(REAL_PATH "${path}" path)
    execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owner RESULT_VARIABLE failed
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(failed)
        message(FATAL_ERROR "No Debian package holds ${path}")
    endif()
    string(REGEX REPLACE "[:,].*" "" package "${owner}")
    execute_process(
        COMMAND dpkg-query -W "-f=\${Version}\n\${source:Package}\n\${source:Version}" ${package}
        OUTPUT_VARIABLE fields OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" fields "${fields}")
    list(GET fields 0 version)
    list(GET fields 1 source)
    list(GET fields 2 source_version)
    string(REPLACE "+" "%2B" url_version "${source_version}")
    set(${prefix}_PACKAGE ${package} PARENT_SCOPE)
    set(${prefix}_VERSION ${version} PARENT_SCOPE)
    set(${prefix}_SOURCE "${source} ${source_version}" PARENT_SCOPE)
    set(${prefix}_SOURCE_PIN "${source}=${source_version}" PARENT_SCOPE)
    set(${prefix}_SOURCE_URL
        "https://snapshot.debian.org/package/${source}/${url_version}/" PARENT_SCOPE)
    set(${prefix}_COPYRIGHT /usr/share/doc/${package}/copyright PARENT_SCOPE)
endfunction()

# `qt_modules`: the Qt libraries shipped; `runtime_dlls`: the MinGW runtime's, as full paths.
function(duplivo_windows_licences qt_modules runtime_dlls)
    duplivo_licence_text(${PROJECT_SOURCE_DIR}/LICENSE Duplivo.txt)
    foreach(licence LGPL-3 GPL-3)
        find_file(DUPLIVO_${licence} ${licence} PATHS /usr/share/common-licenses
            NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
        duplivo_licence_text(${DUPLIVO_${licence}} ${licence}.txt)
    endforeach()

    # Qt: the kit's version, and the Debian source of the host's Qt tools, which the kit is built
    # beside and must match.
    set(DUPLIVO_QT_VERSION ${Qt6Core_VERSION})
    duplivo_debian_package(${Qt6CoreTools_DIR}/Qt6CoreToolsConfig.cmake qt)
    if(NOT qt_SOURCE MATCHES "^qt6-base ${DUPLIVO_QT_VERSION}[+-]")
        message(FATAL_ERROR "The kit's Qt ${DUPLIVO_QT_VERSION} does not come from ${qt_SOURCE}")
    endif()
    set(DUPLIVO_QT_SOURCE ${qt_SOURCE})
    set(DUPLIVO_QT_SOURCE_PIN ${qt_SOURCE_PIN})
    set(DUPLIVO_QT_SOURCE_URL ${qt_SOURCE_URL})
    set(DUPLIVO_QT_PACKAGE ${qt_PACKAGE})
    duplivo_licence_text(${qt_COPYRIGHT} copyright-${qt_PACKAGE}.txt)
    list(TRANSFORM qt_modules REPLACE "(.+)" "Qt6\\1.dll")
    list(JOIN qt_modules ", " DUPLIVO_QT_FILES)
    # How the kit is built, as it is run: Linux scripts, left with their own line ends.
    foreach(script tools/windows/build-qt.sh cmake/toolchain-mingw.cmake
            cmake/toolchain-mingw-x86_64.cmake cmake/toolchain-mingw-i686.cmake)
        get_filename_component(name ${script} NAME)
        configure_file(${PROJECT_SOURCE_DIR}/${script} ${DUPLIVO_LICENCES}/qt-kit/${name} COPYONLY)
    endforeach()

    # The MinGW runtime: one record for each Debian package its DLLs come from.
    set(packages)
    foreach(dll IN LISTS runtime_dlls)
        duplivo_debian_package(${dll} runtime)
        get_filename_component(name ${dll} NAME)
        list(APPEND packages ${runtime_PACKAGE})
        list(APPEND dlls_of_${runtime_PACKAGE} ${name})
        set(about_${runtime_PACKAGE}
            "${runtime_PACKAGE} ${runtime_VERSION}\n    (fuente: ${runtime_SOURCE}, ${runtime_SOURCE_URL})")
        set(copyright_${runtime_PACKAGE} ${runtime_COPYRIGHT})
    endforeach()
    list(REMOVE_DUPLICATES packages)
    set(DUPLIVO_RUNTIME_NOTICES)
    foreach(package IN LISTS packages)
        list(JOIN dlls_of_${package} ", " dlls)
        duplivo_licence_text(${copyright_${package}} copyright-${package}.txt)
        string(APPEND DUPLIVO_RUNTIME_NOTICES "\n${dlls}: del paquete de Debian ${about_${package}}.\n"
            "    Registro: copyright-${package}.txt.\n")
    endforeach()

    # SQLite, linked into duplivo.exe from the kit's static library.
    find_package(SQLite3 REQUIRED)
    set(DUPLIVO_SQLITE_VERSION ${SQLite3_VERSION})

    duplivo_licence_text(${PROJECT_SOURCE_DIR}/packaging/windows/LEAME-licencias.txt.in
        LEAME.txt CONFIGURE)
    install(DIRECTORY ${DUPLIVO_LICENCES}/ DESTINATION LICENCIAS)
endfunction()
