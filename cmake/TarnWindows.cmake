# The Windows program: the executable's own resources (icon, manifest asking
# for administrator rights, version record), all with the version of
# project(); and two targets scripts/build-windows builds after it:
#   tarn_deploy     Tarn.exe with what it loads, in TARN_DEPLOY_DIR
#   tarn_installer  Tarn-Setup.exe made with NSIS from that folder
set(TARN_DEPLOY_DIR "${CMAKE_BINARY_DIR}/deploy" CACHE PATH
    "Folder that receives Tarn.exe and everything it loads")
set(TARN_INSTALLER "${CMAKE_BINARY_DIR}/Tarn-Setup.exe" CACHE FILEPATH
    "The installer that tarn_installer makes")

string(REPLACE "." "," TARN_VERSION_COMMAS "${PROJECT_VERSION}")
set(TARN_WIN_DIR "${CMAKE_BINARY_DIR}/win")
configure_file(resources/win/Tarn.rc.in "${TARN_WIN_DIR}/Tarn.rc" @ONLY)
configure_file(resources/win/Tarn.manifest.in "${TARN_WIN_DIR}/Tarn.manifest" @ONLY)
target_sources(Tarn PRIVATE "${TARN_WIN_DIR}/Tarn.rc")
target_link_libraries(Tarn PRIVATE Qt5::WinMain)

get_filename_component(TARN_QT_PREFIX "${Qt5Core_DIR}/../../.." ABSOLUTE)
find_program(TARN_OBJDUMP NAMES ${TARN_MINGW_TRIPLET}-objdump objdump REQUIRED)
find_program(TARN_MAKENSIS makensis REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# The MinGW runtime DLLs lie where the compiler finds them.
set(TARN_RUNTIME_DIRS)
foreach(dll IN ITEMS libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(folder "${path}" DIRECTORY)
    list(APPEND TARN_RUNTIME_DIRS --runtime "${folder}")
endforeach()

set(TARN_INSTALLER_FILES "${TARN_WIN_DIR}/installed-files.nsh")
add_custom_target(tarn_deploy
    COMMAND "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/scripts/deploy-windows"
        --program "$<TARGET_FILE:Tarn>" --qt "${TARN_QT_PREFIX}"
        --qml "${PROJECT_SOURCE_DIR}/resources/QML"
        --style-conf "${PROJECT_SOURCE_DIR}/resources/qtquickcontrols2.conf"
        --objdump "${TARN_OBJDUMP}" ${TARN_RUNTIME_DIRS}
        --out "${TARN_DEPLOY_DIR}" --nsis-files "${TARN_INSTALLER_FILES}"
    DEPENDS Tarn
    COMMENT "Laying out the deployment folder"
    VERBATIM)
add_custom_target(tarn_installer
    COMMAND "${TARN_MAKENSIS}" -V2 -DVERSION=${PROJECT_VERSION}
        "-DDEPLOY_DIR=${TARN_DEPLOY_DIR}" "-DFILES=${TARN_INSTALLER_FILES}"
        "-DICON=${PROJECT_SOURCE_DIR}/resources/win/Tarn.ico" "-DOUTFILE=${TARN_INSTALLER}"
        "${PROJECT_SOURCE_DIR}/resources/win/Tarn.nsi"
    DEPENDS tarn_deploy
    COMMENT "Making the installer"
    VERBATIM)
