# cpack -G "ZIP;NSIS": the shipping folder as a zip, and a Spanish installer made with Debian's
# makensis. Both come from the same `cmake --install` tree.

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(DUPLIVO_WINDOWS_FLAVOUR win64)
    # A 64-bit program belongs in the 64-bit Program Files.
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(nsis_program_files "!define MULTIUSER_USE_PROGRAMFILES64")
else()
    set(DUPLIVO_WINDOWS_FLAVOUR win32)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
    set(nsis_program_files "")
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
set(CPACK_NSIS_BRANDING_TEXT "Duplivo ${PROJECT_VERSION}")
# Duplivo's licence asks for no acceptance: no licence page (CPack's own is an English
# placeholder). The licence and the notices of what ships with it are installed in LICENCIAS\.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)

# The installer's header and welcome images, drawn from the program's icon at build time.
find_program(DUPLIVO_RSVG_CONVERT rsvg-convert REQUIRED)
find_program(DUPLIVO_IMAGEMAGICK convert REQUIRED)
set(nsis_images ${CMAKE_BINARY_DIR}/nsis)
set(CPACK_NSIS_MUI_HEADERIMAGE ${nsis_images}/header.bmp)
set(CPACK_NSIS_MUI_WELCOMEFINISHPAGE_BITMAP ${nsis_images}/welcome.bmp)
set(CPACK_NSIS_MUI_UNWELCOMEFINISHPAGE_BITMAP ${nsis_images}/welcome.bmp)
add_custom_command(OUTPUT ${nsis_images}/header.bmp ${nsis_images}/welcome.bmp
    COMMAND ${DUPLIVO_RSVG_CONVERT} -w 48 -h 48 -o ${nsis_images}/icon-48.png
        ${PROJECT_SOURCE_DIR}/app/duplivo.svg
    COMMAND ${DUPLIVO_RSVG_CONVERT} -w 128 -h 128 -o ${nsis_images}/icon-128.png
        ${PROJECT_SOURCE_DIR}/app/duplivo.svg
    # NSIS shows only uncompressed Windows 3 bitmaps without transparency: BMP3, 24-bit.
    COMMAND ${DUPLIVO_IMAGEMAGICK} -size 150x57 xc:white ${nsis_images}/icon-48.png
        -gravity center -composite -alpha off -type TrueColor BMP3:${nsis_images}/header.bmp
    COMMAND ${DUPLIVO_IMAGEMAGICK} -size 164x314 "gradient:#dfe7f2-#ffffff"
        ${nsis_images}/icon-128.png -gravity north -geometry +0+56 -composite -alpha off
        -type TrueColor BMP3:${nsis_images}/welcome.bmp
    DEPENDS ${PROJECT_SOURCE_DIR}/app/duplivo.svg
    VERBATIM)
add_custom_target(duplivo_installer_images ALL
    DEPENDS ${nsis_images}/header.bmp ${nsis_images}/welcome.bmp)

# CPack's installer script with Spanish as its only language, in Unicode, with its own messages
# in Spanish, and installing either for the operator alone or for everyone with NSIS's MultiUser:
# "para mí" goes into the user's own programs folder with the Start-menu entry and the uninstall
# entry under HKCU, and asks for no administrator rights; "para todos" goes into Program Files for
# an administrator. /S /CurrentUser and /S /AllUsers choose silently; /S alone installs for
# everyone when the user is an administrator. Made from the script of the CMake in use, so it
# keeps up with it; a CMake whose script no longer has these lines stops the build instead of
# shipping English or an installer that needs an administrator.
file(READ ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in nsis_script)
function(duplivo_nsis_find text out)
    string(FIND "${nsis_script}" "${text}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "CPack's NSIS script has no \"${text}\"")
    endif()
    set(${out} ${at} PARENT_SCOPE)
endfunction()
# Every occurrence of `from` becomes `to`.
function(duplivo_nsis_replace from to)
    duplivo_nsis_find("${from}" at)
    string(REPLACE "${from}" "${to}" nsis_script "${nsis_script}")
    set(nsis_script "${nsis_script}" PARENT_SCOPE)
endfunction()
# The text from `first` up to the end of `last` becomes `to`.
function(duplivo_nsis_replace_span first last to)
    duplivo_nsis_find("${first}" begin)
    string(SUBSTRING "${nsis_script}" 0 ${begin} before)
    string(SUBSTRING "${nsis_script}" ${begin} -1 rest)
    string(FIND "${rest}" "${last}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "CPack's NSIS script has no \"${last}\" after \"${first}\"")
    endif()
    string(LENGTH "${last}" length)
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${rest}" ${at} -1 after)
    set(nsis_script "${before}${to}${after}" PARENT_SCOPE)
endfunction()

duplivo_nsis_replace("!include \"MUI.nsh\"" "Unicode true\n  !include \"MUI.nsh\"")
duplivo_nsis_replace(
    "is already installed. $\\n$\\nDo you want to uninstall the old version before installing the new one?"
    "ya está instalado. $\\n$\\n¿Desea desinstalar la versión anterior antes de instalar la nueva?")
duplivo_nsis_replace("\"Uninstall failed.\"" "\"No se ha podido desinstalar.\"")
duplivo_nsis_replace("\"Set install registry entry: '$1' to '$0'\""
    "\"Entrada de desinstalación: '$1' = '$0'\"")
duplivo_nsis_replace("\"Install Options\" \"Choose options for installing"
    "\"Opciones de instalación\" \"Elija las opciones para instalar")
duplivo_nsis_replace("Uninstall.lnk" "Desinstalar.lnk")
# CPack writes the branding with /TRIMLEFT, which makensis refuses on Linux.
duplivo_nsis_replace("@CPACK_NSIS_BRANDING_TEXT_CODE@"
    "  BrandingText \"@CPACK_NSIS_BRANDING_TEXT@\"")

set(nsis_multiuser [=[
  ;For the operator alone or, for an administrator, for everyone
  !define MULTIUSER_EXECUTIONLEVEL Highest
  !define MULTIUSER_INSTALLMODE_COMMANDLINE
  !define MULTIUSER_INSTALLMODE_INSTDIR "@CPACK_PACKAGE_INSTALL_DIRECTORY@"
  @nsis_program_files@
  !define MULTIUSER_INIT_TEXT_ADMINREQUIRED "$(^Caption) necesita permisos de administrador."
  !define MULTIUSER_INIT_TEXT_POWERREQUIRED "$(^Caption) necesita permisos de administrador."
  !define MULTIUSER_INIT_TEXT_ALLUSERSNOTPOSSIBLE "Su cuenta no tiene permisos para instalar $(^Name) para todos los usuarios de este equipo. Puede instalarlo solo para usted."
  !define MULTIUSER_INSTALLMODEPAGE_TEXT_TOP "Elija si instala $(^NameDA) solo para usted o para todos los usuarios de este equipo. Para instalarlo solo para usted no hacen falta permisos de administrador.$(^ClickNext)"
  !define MULTIUSER_INSTALLMODEPAGE_TEXT_CURRENTUSER "Solo para mí (en mi carpeta de programas)"
  !define MULTIUSER_INSTALLMODEPAGE_TEXT_ALLUSERS "Para todos los usuarios de este equipo (en Archivos de programa)"
  !include MultiUser.nsh
]=])
string(CONFIGURE "${nsis_multiuser}" nsis_multiuser @ONLY)
# MultiUser's command line reading brings StrFunc's StrStr, which CPack's own would clash with.
duplivo_nsis_replace("StrStr" "CPackStrStr")
duplivo_nsis_replace("  ;Require administrator access\n  RequestExecutionLevel admin\n"
    "${nsis_multiuser}")
duplivo_nsis_replace("  Page custom InstallOptionsPage\n"
    "  Page custom InstallOptionsPage\n  !insertmacro MULTIUSER_PAGE_INSTALLMODE\n")
# The mode first, so that the earlier installation replaced is the one of that mode; /D= still
# names the folder. CPack's own choice of mode and folder by the account type goes.
duplivo_nsis_replace("Function .onInit\n" [=[
Function .onInit
  StrCpy $R9 $INSTDIR
  !insertmacro MULTIUSER_INIT
  StrCmp $R9 "@CPACK_NSIS_INSTALL_ROOT@\@CPACK_PACKAGE_INSTALL_DIRECTORY@" +2
    StrCpy $INSTDIR $R9
]=])
duplivo_nsis_replace(
    "ReadRegStr $0 HKLM \"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
    "ReadRegStr $0 SHCTX \"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\")
duplivo_nsis_replace_span("  ; check to see if /D has been used to change\n"
    "      StrCpy $INSTDIR \"@CPACK_NSIS_INSTALL_ROOT@\\@CPACK_PACKAGE_INSTALL_DIRECTORY@\"\n" "")
# The uninstaller removes the installation it belongs to: a per-user one when the user's own
# registry records its folder (MultiUser alone would take an administrator's for everyone's).
duplivo_nsis_replace_span("Function un.onInit\n" "FunctionEnd\n" [=[
Function un.onInit
  !insertmacro MULTIUSER_UNINIT
  ReadRegStr $0 HKCU "Software\@CPACK_PACKAGE_VENDOR@\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@" ""
  StrCmp $0 $INSTDIR 0 +2
    Call un.MultiUser.InstallMode.CurrentUser
FunctionEnd
]=])
string(REGEX REPLACE "(  !insertmacro MUI_LANGUAGE \"[A-Za-z]+\"[^\n]*\n)+"
    "  !insertmacro MUI_LANGUAGE \"Spanish\"\n" nsis_script "${nsis_script}")
file(WRITE ${CMAKE_BINARY_DIR}/nsis/NSIS.template.in "${nsis_script}")
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_BINARY_DIR}/nsis)

include(CPack)
