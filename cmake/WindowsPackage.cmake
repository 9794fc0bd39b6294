# cpack -G "ZIP;NSIS": the shipping folder as a zip, and a Spanish installer made with Debian's
# makensis. Both come from the same `cmake --install` tree.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(DUPLIVO_WINDOWS_FLAVOUR win64)
    # A 64-bit program belongs in the 64-bit Program Files.
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
else()
    set(DUPLIVO_WINDOWS_FLAVOUR win32)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
endif()
set(DUPLIVO_PACKAGE_NAME duplivo-${PROJECT_VERSION}-${DUPLIVO_WINDOWS_FLAVOUR})

set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_PACKAGE_NAME Duplivo)
set(CPACK_PACKAGE_VENDOR Duplivo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Copia y borra los datos de una empresa de Tarvex")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Duplivo)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Duplivo)
set(CPACK_PACKAGE_FILE_NAME ${DUPLIVO_PACKAGE_NAME})
set(CPACK_STRIP_FILES ON)
# The zip holds the folder itself; the installer's name differs from the zip's only by "-setup".
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackWindowsNames.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
    "set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)\n"
    "if(CPACK_GENERATOR STREQUAL \"NSIS\")\n"
    "    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)\n"
    "    set(CPACK_PACKAGE_FILE_NAME \"${DUPLIVO_PACKAGE_NAME}-setup\")\n"
    "endif()\n")

# A flat install: the Start-menu entry "Duplivo" opens duplivo.exe, with the exe's own icon.
set(CPACK_PACKAGE_EXECUTABLES duplivo Duplivo)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_PACKAGE_NAME Duplivo)
set(CPACK_NSIS_DISPLAY_NAME "Duplivo ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME duplivo.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/packaging/windows/duplivo.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/packaging/windows/duplivo.ico)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_UNINSTALL_NAME Desinstalar)

# CPack's installer script with Spanish as its only language, in Unicode, and its own two
# messages in Spanish. Made from the script of the CMake in use, so it keeps up with it; a
# CMake whose script no longer has these lines stops the build instead of shipping English.
file(READ ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in nsis_script)
set(nsis_replacements
    "!include \"MUI.nsh\"" "Unicode true\n  !include \"MUI.nsh\""
    "is already installed. $\\n$\\nDo you want to uninstall the old version before installing the new one?"
    "ya está instalado. $\\n$\\n¿Desea desinstalar la versión anterior antes de instalar la nueva?"
    "\"Uninstall failed.\"" "\"No se ha podido desinstalar.\"")
while(nsis_replacements)
    list(POP_FRONT nsis_replacements from to)
    string(FIND "${nsis_script}" "${from}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "CPack's NSIS script has no \"${from}\"")
    endif()
    string(REPLACE "${from}" "${to}" nsis_script "${nsis_script}")
endwhile()
string(REGEX REPLACE "(  !insertmacro MUI_LANGUAGE \"[A-Za-z]+\"[^\n]*\n)+"
    "  !insertmacro MUI_LANGUAGE \"Spanish\"\n" nsis_script "${nsis_script}")
file(WRITE ${CMAKE_BINARY_DIR}/nsis/NSIS.template.in "${nsis_script}")
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_BINARY_DIR}/nsis)

include(CPack)
