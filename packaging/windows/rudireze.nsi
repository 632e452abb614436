; The Windows installer: both programs in Program Files, a Start-menu entry
; with the icon, the Arduino IDE platform in the user's sketchbook if wanted,
; and an uninstaller that takes everything away again.
; makensis -DVERSION=1.0 -DSTAGE=<folder with the files> -DOUTFILE=<setup.exe>
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include "MUI2.nsh"
!include "x64.nsh"

!define PRODUCT "Rudireze"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"

!define MUI_ICON "${STAGE}\rudireze.ico"
!define MUI_UNICON "${STAGE}\rudireze.ico"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Rudireze" SectionPrograms
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "${STAGE}\rudireze.exe"
    File "${STAGE}\rudireze-cli.exe"
    File "${STAGE}\rudireze.ico"
    File "${STAGE}\LICENSE.txt"
    File "${STAGE}\README.txt"
    SetOutPath "$INSTDIR\licenses"
    File /r "${STAGE}\licenses\*"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The window writes update.bin and log.txt into the folder it starts in,
    ; and Program Files is not writable for users: start it in their own
    ; folder (the shell expands the variable when it starts the program).
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    StrCpy $OUTDIR "%USERPROFILE%"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\rudireze.exe" "" \
        "$INSTDIR\rudireze.ico" 0
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Rudireze developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\rudireze.ico"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The modules in the Arduino IDE's Port menu and its Upload button over Wi-Fi:
; the platform goes into the sketchbook (Documents\Arduino\hardware) of the
; user who installs, naming this rudireze-cli.exe by its full path.
Section "Arduino IDE platform" SectionArduino
    SetShellVarContext current
    ; nsExec: no console window flashes up.
    nsExec::Exec '"$INSTDIR\rudireze-cli.exe" install-platform --sketchbook "$DOCUMENTS\Arduino"'
    Pop $0
    SetShellVarContext all
    StrCmp $0 "0" +2
    MessageBox MB_OK|MB_ICONEXCLAMATION "The Arduino IDE platform could not be installed; \
        run $\"rudireze-cli install-platform$\" later."
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    RMDir /r "$DOCUMENTS\Arduino\hardware\rudireze"
    SetShellVarContext all
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    Delete "$INSTDIR\rudireze.exe"
    Delete "$INSTDIR\rudireze-cli.exe"
    Delete "$INSTDIR\rudireze.ico"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\README.txt"
    RMDir /r "$INSTDIR\licenses"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
