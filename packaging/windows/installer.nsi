; SPDX-License-Identifier: GPL-3.0-or-later
; The Windows installer of the VARNO plug-in: puts varno.dll, its dialog script and its help
; pages into the plugins folder of a Mindaro installation, and writes an uninstaller that
; removes exactly those files, with an entry in Windows' list of installed programs.
;   VARNO-<version>-setup.exe                    asks for the host's folder
;   VARNO-<version>-setup.exe /S /D=C:\Mindaro   silent; the folder last, without quotes
;   uninstall-varno.exe [/S]                     in the plugins folder
; Silent runs report problems on the standard error stream of the console they are started
; from, and exit with 2.
; makensis defines: VERSION, FILES_NSH (the files and SIZE_KB, from installer-files.cmake),
; LICENSE_FILE, OUTFILE.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include "${FILES_NSH}"

!define PRODUCT "VARNO"
!define UNINSTALLER "uninstall-varno.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VARNO"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Mindaro"
; An upgrade proposes the folder of the installation it replaces.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "Installer of the VARNO plug-in for Mindaro"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "The VARNO team; GPL-3.0-or-later"

Var Host            ; the host's executable found in the chosen folder
Var Problem         ; why the folder cannot take the plug-in; empty when it can
Var Output          ; where silent runs write their messages

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${LICENSE_FILE}"
!define MUI_DIRECTORYPAGE_TEXT_TOP "Choose the folder in which Mindaro is installed, the one that holds Mindaro.exe (or MindaroEDU.exe). VARNO ${VERSION} goes into its plugins folder, where Mindaro finds its plug-ins."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Mindaro's folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckChosenFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "VARNO ${VERSION} is installed in $INSTDIR\plugins. Start Mindaro again to use it."
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Writes a line to the console that started a silent run (its standard error, else the
; console itself), and to the details of the progress page.
!macro SayLine FUNCTION_PREFIX
  Function ${FUNCTION_PREFIX}SayLine
    Exch $0
    DetailPrint "$0"
    ${If} ${Silent}
      ${If} $Output == ""
        System::Call 'kernel32::GetStdHandle(i -12) p .s'
        Pop $Output
        ${If} $Output == 0
        ${OrIf} $Output == -1
          System::Call 'kernel32::AttachConsole(i -1)'
          FileOpen $Output "CONOUT$$" a
        ${EndIf}
      ${EndIf}
      ${If} $Output != ""
        FileWrite $Output "$0$\r$\n"
      ${EndIf}
    ${EndIf}
    Pop $0
  FunctionEnd
!macroend
!insertmacro SayLine ""
!insertmacro SayLine "un."

!macro Say TEXT
  Push "${TEXT}"
  Call SayLine
!macroend
!macro UnSay TEXT
  Push "${TEXT}"
  Call un.SayLine
!macroend

; Shown in a message box, or said on the console and the run ended with status 2.
!macro Refuse TEXT
  ${If} ${Silent}
    !insertmacro Say "${TEXT}"
    SetErrorLevel 2
    Quit
  ${EndIf}
  MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT}"
!macroend

; Sets $Problem when $INSTDIR does not hold the host or its plugins folder cannot be written.
Function CheckFolder
  StrCpy $Problem ""
  StrCpy $Host ""
  ${If} ${FileExists} "$INSTDIR\Mindaro.exe"
    StrCpy $Host "Mindaro.exe"
  ${ElseIf} ${FileExists} "$INSTDIR\MindaroEDU.exe"
    StrCpy $Host "MindaroEDU.exe"
  ${Else}
    StrCpy $Problem "$INSTDIR does not hold Mindaro: there is no Mindaro.exe or MindaroEDU.exe in it. Choose the folder in which Mindaro is installed."
    Return
  ${EndIf}
  ; A file made and removed again in the plugins folder, which is removed again too when this
  ; made it.
  StrCpy $0 0
  ${IfNot} ${FileExists} "$INSTDIR\plugins\*.*"
    StrCpy $0 1
    ClearErrors
    CreateDirectory "$INSTDIR\plugins"
  ${EndIf}
  ClearErrors
  FileOpen $1 "$INSTDIR\plugins\varno-write-test.tmp" w
  ${If} ${Errors}
    StrCpy $Problem "VARNO cannot write into $INSTDIR\plugins: the folder is read-only or needs administrator rights. Start the installer as administrator, or choose another Mindaro installation."
  ${Else}
    FileClose $1
    Delete "$INSTDIR\plugins\varno-write-test.tmp"
  ${EndIf}
  ${If} $0 == 1
    RMDir "$INSTDIR\plugins"
  ${EndIf}
FunctionEnd

Function CheckChosenFolder
  Call CheckFolder
  ${If} $Problem != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$Problem"
    Abort
  ${EndIf}
FunctionEnd

Function .onInit
  ${If} ${Silent}
    Call CheckFolder
    ${If} $Problem != ""
      !insertmacro Refuse "VARNO ${VERSION} was not installed: $Problem"
    ${EndIf}
  ${EndIf}
FunctionEnd

; An installation made before, here or in another folder, is removed by its own uninstaller
; first, so that no file of an older version stays behind.
Function RemoveEarlierInstallation
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "DisplayVersion"
  ReadRegStr $3 HKLM "${UNINSTALL_KEY}" "CreatedPluginFolder"
  ${If} $0 == ""
  ${OrIfNot} ${FileExists} "$0\plugins\${UNINSTALLER}"
    Return
  ${EndIf}
  ${If} $0 == $INSTDIR
    !insertmacro Say "VARNO $1 is installed here; its files are removed before VARNO ${VERSION} is installed."
  ${Else}
    !insertmacro Say "VARNO $1 is installed in $0; it is removed from there (VARNO is installed once)."
  ${EndIf}
  ; Run in place (_?=) so that this waits for it; it cannot remove itself then.
  ExecWait '"$0\plugins\${UNINSTALLER}" /S _?=$0\plugins' $2
  ${If} $2 != 0
    !insertmacro Refuse "VARNO ${VERSION} was not installed: the uninstaller of VARNO $1 in $0 failed (status $2)."
    Abort
  ${EndIf}
  Delete "$0\plugins\${UNINSTALLER}"
  ${If} $3 == 1
    RMDir "$0\plugins"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
FunctionEnd

Section "VARNO"
  Call RemoveEarlierInstallation
  StrCpy $0 0
  ${IfNot} ${FileExists} "$INSTDIR\plugins\*.*"
    StrCpy $0 1
  ${EndIf}
  SetOverwrite on
  !insertmacro VarnoInstallFiles "$INSTDIR\plugins"
  WriteUninstaller "$INSTDIR\plugins\${UNINSTALLER}"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "VARNO ${VERSION} (Mindaro plug-in)"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "The VARNO team"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\$Host"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\plugins\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\plugins\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "CreatedPluginFolder" $0
  !insertmacro Say "VARNO ${VERSION} is installed in $INSTDIR\plugins."
SectionEnd

; The uninstaller lies in the plugins folder, which is its $INSTDIR.
Function un.onInit
  ${IfNot} ${FileExists} "$INSTDIR\varno.dll"
    SetErrorLevel 0
    ${If} ${Silent}
      !insertmacro UnSay "VARNO is not installed in $INSTDIR: there is nothing to remove."
      Quit
    ${EndIf}
    MessageBox MB_OK|MB_ICONINFORMATION "VARNO is not installed in $INSTDIR: there is nothing to remove."
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  !insertmacro VarnoRemoveFiles "$INSTDIR"
  Delete "$INSTDIR\${UNINSTALLER}"
  ; The registry entry is this installation's only when it names this folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} "$0\plugins" == $INSTDIR
    ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "CreatedPluginFolder"
    ${If} $1 == 1
      RMDir "$INSTDIR"
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${EndIf}
  !insertmacro UnSay "VARNO is removed from $INSTDIR."
SectionEnd
