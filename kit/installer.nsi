; korvex-setup-VERSION.exe: puts Korvex.dll where the host application loads
; its display drivers from, our recommended config.ini into the host's folder
; when it has none, and the tools and guides into a folder of their own.
;
;   makensis -DVERSION=1.09b -DSTAGE=DIR -DOUTFILE=FILE [-DWIN64] kit/installer.nsi
;
; STAGE holds the kit's files as scripts/dist.sh stages them. WIN64 makes the
; same installer as a 64-bit program, for the tests under a 64-bit-only Wine;
; the kit's is the 32-bit one, which runs on Windows XP SP3 to 11 (Unicode
; NSIS runs on every NT-based Windows).
;
; Silent: korvex-setup.exe /S [/DRIVERS=FOLDER] /D=HOST_FOLDER (/D last, unquoted).
; Administrator rights: asked for only when the chosen folders are not
; writable (under Program Files, say): the installer then starts itself again
; with them. Silent, it ends with status 5 instead.

Unicode true
!ifdef WIN64
  Target amd64-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestSupportedOS all

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define PRODUCT "Korvex"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvex"
!define SETTINGS_KEY "Software\Korvex"

Name "${PRODUCT} display driver ${VERSION}"
OutFile "${OUTFILE}"
; The host's own folder is the usual place of a 32-bit host.
InstallDir "$PROGRAMFILES\Pylora"
BrandingText "${PRODUCT} ${VERSION}"

Var DriverDir   ; where Korvex.dll goes: the host's folder unless its documentation names another
Var ToolsDir    ; the tools and guides: $INSTDIR\Korvex
Var AllUsers    ; 1 when installed with administrator rights, for every user
Var HostBefore  ; the host's folder when the drivers' folder was last proposed

!define MUI_ABORTWARNING
!define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\modern-install.ico"
!define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\modern-uninstall.ico"

!define MUI_WELCOMEPAGE_TEXT "This installs the Korvex display driver for graphic LCDs behind a USB board, its settings window and its guide.$\r$\n$\r$\nClose the host application first: Windows does not replace a driver that a running program has loaded.$\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME

!define MUI_PAGE_HEADER_TEXT "The host application's folder"
!define MUI_PAGE_HEADER_SUBTEXT "The folder of the program that shows the display."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Pick the folder of the LCD host application: the folder its program (.exe) is in, which is also the folder it runs in. The driver reads its settings, config.ini, from there, and this installer puts our recommended config.ini there if it has none (your own settings are never overwritten). The tools and the guide go into its subfolder Korvex."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Host application's folder"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE HostFolderLeave
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_PAGE_HEADER_TEXT "The display drivers' folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where the host application loads its display drivers from."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Pick the folder the host application loads its display drivers from. Unless its documentation names another one (a subfolder for drivers or plug-ins, say), this is the host's own folder, as proposed. Korvex.dll goes there."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Display drivers' folder"
!define MUI_DIRECTORYPAGE_VARIABLE $DriverDir
!define MUI_PAGE_CUSTOMFUNCTION_PRE DriverFolderPre
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DriverFolderLeave
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TEXT "Korvex is installed. In the host application, choose Korvex as the display driver and set the board's COM port there.$\r$\n$\r$\nThe settings window (Start menu, Korvex) shows the ports, changes config.ini and tries the board."
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Open the Korvex settings window"
!define MUI_FINISHPAGE_RUN_FUNCTION OpenSettings
!define MUI_FINISHPAGE_SHOWREADME "$ToolsDir\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Show the guide"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; ---- administrator rights, only where the folder needs them

; $R0: a folder (need not exist). Sets $R1 to 1 when this process can make
; files there (in its nearest existing parent when it does not exist yet).
Function CanWrite
  StrCpy $R2 $R0
  ${DoUntil} ${FileExists} "$R2\*.*"
    ${GetParent} $R2 $R3
    ${If} $R3 == ""
    ${OrIf} $R3 == $R2
      StrCpy $R1 0
      Return
    ${EndIf}
    StrCpy $R2 $R3
  ${Loop}
  ClearErrors
  FileOpen $R3 "$R2\korvex-setup-write-test.tmp" w
  ${If} ${Errors}
    StrCpy $R1 0
  ${Else}
    FileClose $R3
    Delete "$R2\korvex-setup-write-test.tmp"
    StrCpy $R1 1
  ${EndIf}
FunctionEnd

; The folder in $R0 is not writable: start again with administrator rights
; (Windows asks for them), or say why not.
Function NeedAdmin
  UserInfo::GetAccountType
  Pop $R4
  ${If} $R4 == "Admin"
    MessageBox MB_ICONSTOP "$R0 cannot be written to, even with administrator rights. Pick another folder."
    Abort
  ${EndIf}
  ${If} ${Silent}
    SetErrorLevel 5
    Quit
  ${EndIf}
  MessageBox MB_OKCANCEL|MB_ICONINFORMATION "$R0 needs administrator rights (it is under Program Files, say). Windows will ask for them, then this installer starts again." IDOK +2
  Abort
  ExecShell "runas" "$EXEPATH" '/DRIVERS="$DriverDir" /D=$INSTDIR'
  Quit
FunctionEnd

Function HostFolderLeave
  StrCpy $R0 $INSTDIR
  Call CanWrite
  ${If} $R1 != 1
    Call NeedAdmin
  ${EndIf}
FunctionEnd

Function DriverFolderPre
  ; The host's folder again, unless another was picked: also after Back.
  ${If} $DriverDir == ""
  ${OrIf} $DriverDir == $HostBefore
    StrCpy $DriverDir $INSTDIR
  ${EndIf}
  StrCpy $HostBefore $INSTDIR
FunctionEnd

Function DriverFolderLeave
  StrCpy $R0 $DriverDir
  Call CanWrite
  ${If} $R1 != 1
    Call NeedAdmin
  ${EndIf}
FunctionEnd

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/DRIVERS=" $R1
  ${IfNot} ${Errors}
    StrCpy $DriverDir $R1
  ${EndIf}
  ; /D= sets the folder itself; otherwise the one of an earlier install.
  ${If} $INSTDIR == "$PROGRAMFILES\Pylora"
    ReadRegStr $R2 HKCU "${SETTINGS_KEY}" "HostFolder"
    ${If} $R2 != ""
      StrCpy $INSTDIR $R2
    ${EndIf}
  ${EndIf}
FunctionEnd

Function OpenSettings
  Exec '"$ToolsDir\korvex-settings.exe" "$INSTDIR" "$DriverDir\Korvex.dll"'
FunctionEnd

; ---- the files

Section "Korvex"
  ${If} $DriverDir == ""
    StrCpy $DriverDir $INSTDIR
  ${EndIf}
  StrCpy $ToolsDir "$INSTDIR\Korvex"
  ; Silent installs never saw the pages: check the folders here.
  ${If} ${Silent}
    StrCpy $R0 $INSTDIR
    Call CanWrite
    ${If} $R1 == 1
      StrCpy $R0 $DriverDir
      Call CanWrite
    ${EndIf}
    ${If} $R1 != 1
      Call NeedAdmin
    ${EndIf}
  ${EndIf}
  UserInfo::GetAccountType
  Pop $R4
  StrCpy $AllUsers 0
  ${If} $R4 == "Admin"
    StrCpy $AllUsers 1
    SetShellVarContext all
  ${EndIf}

  SetOverwrite on
  SetOutPath $DriverDir
  File "${STAGE}\Korvex.dll"

  ; Never over the user's settings.
  SetOutPath $INSTDIR
  ${IfNot} ${FileExists} "$INSTDIR\config.ini"
    File "${STAGE}\config.ini"
  ${EndIf}

  SetOutPath $ToolsDir
  File "${STAGE}\korvex-settings.exe"
  File "${STAGE}\korvex-host.exe"
  File "${STAGE}\korvex-board.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\korvex-host.txt"
  File "${STAGE}\korvex-board.txt"
  File "${STAGE}\korvex-board-window.png"
  File "${STAGE}\korvex-settings-window.png"
  SetOutPath "$ToolsDir\examples"
  ; One by one, so that the uninstaller removes these and no script of the user's.
  File "${STAGE}\examples\hello.txt"
  File "${STAGE}\examples\lights.txt"
  File "${STAGE}\examples\replug.txt"
  SetOutPath $ToolsDir
  WriteUninstaller "$ToolsDir\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Korvex"
  CreateShortCut "$SMPROGRAMS\Korvex\Korvex settings.lnk" "$ToolsDir\korvex-settings.exe" \
    '"$INSTDIR" "$DriverDir\Korvex.dll"'
  CreateShortCut "$SMPROGRAMS\Korvex\Korvex guide.lnk" "$ToolsDir\README.txt"
  CreateShortCut "$SMPROGRAMS\Korvex\Uninstall Korvex.lnk" "$ToolsDir\uninstall.exe"

  WriteRegStr HKCU "${SETTINGS_KEY}" "HostFolder" $INSTDIR
  ; Add/Remove Programs: for every user with administrator rights, else for this one.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "Korvex display driver"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Korvex"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" $INSTDIR
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DriverFolder" $DriverDir
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$ToolsDir\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$ToolsDir\uninstall.exe" /S'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$ToolsDir\korvex-settings.exe"
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "AllUsers" $AllUsers
SectionEnd

; ---- the uninstaller: what the installer put there, not config.ini nor debug.log

Function un.onInit
  ; The entry under HKLM was written with administrator rights.
  ReadRegStr $R0 HKLM "${UNINSTALL_KEY}" "DriverFolder"
  ${If} $R0 != ""
    UserInfo::GetAccountType
    Pop $R4
    ${If} $R4 != "Admin"
      ${If} ${Silent}
        SetErrorLevel 5
        Quit
      ${EndIf}
      ExecShell "runas" "$EXEPATH" "_?=$INSTDIR"
      Quit
    ${EndIf}
    SetShellVarContext all
  ${EndIf}
FunctionEnd

Section "Uninstall"
  ; $INSTDIR is the tools' folder, where the uninstaller is.
  ReadRegStr $DriverDir SHCTX "${UNINSTALL_KEY}" "DriverFolder"
  ReadRegStr $R1 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $DriverDir != ""
    Delete "$DriverDir\Korvex.dll"
  ${EndIf}
  Delete "$INSTDIR\korvex-settings.exe"
  Delete "$INSTDIR\korvex-host.exe"
  Delete "$INSTDIR\korvex-board.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\korvex-host.txt"
  Delete "$INSTDIR\korvex-board.txt"
  Delete "$INSTDIR\korvex-board-window.png"
  Delete "$INSTDIR\korvex-settings-window.png"
  Delete "$INSTDIR\examples\hello.txt"
  Delete "$INSTDIR\examples\lights.txt"
  Delete "$INSTDIR\examples\replug.txt"
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: whatever else is there stays.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Korvex\Korvex settings.lnk"
  Delete "$SMPROGRAMS\Korvex\Korvex guide.lnk"
  Delete "$SMPROGRAMS\Korvex\Uninstall Korvex.lnk"
  RMDir "$SMPROGRAMS\Korvex"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
SectionEnd
