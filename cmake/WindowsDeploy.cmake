# The shipping folder on Windows, laid out by `cmake --install`: duplivo.exe with the Qt libraries,
# the plugins it loads, the MinGW runtime, their licences in LICENCIAS\, Qt's Spanish texts and a
# qt.conf that points Qt at them.
# There is no windeployqt for a cross build, so the pieces are named here.

install(TARGETS duplivo RUNTIME DESTINATION .)

set(qt_modules Core Gui Widgets)
foreach(module IN LISTS qt_modules)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
# SQLite is linked into duplivo.exe from the kit's static library; ODBC sources go through the
# program's own layer and Windows' odbc32.

include(${PROJECT_SOURCE_DIR}/cmake/MingwRuntime.cmake)
duplivo_mingw_runtime(mingw_runtime)
install(FILES ${mingw_runtime} DESTINATION .)

include(${PROJECT_SOURCE_DIR}/cmake/WindowsLicences.cmake)
duplivo_windows_licences("${qt_modules}" "${mingw_runtime}")

# Qt's Spanish button texts come from Debian's translations (qt6-translations-l10n); the file is
# the same for every platform.
find_file(DUPLIVO_QTBASE_ES qtbase_es.qm PATHS /usr/share/qt6/translations
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
install(FILES ${DUPLIVO_QTBASE_ES} DESTINATION translations)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/qt.conf DESTINATION .)
