; The Windows installer. Built by scripts/windows-package, which passes:
;   VERSION (2.1.0), VERSION4 (2.1.0.0), UPDATER_EXE, ICON, README, LICENSE, URL, OUTFILE,
;   TEST_IMAGES (0 or 1), INSTANCE_NAME and MAX_INSTANCES (the names of running copies), and
;   SIGN (a command that signs the file it is given in place) when the download is signed.
; A 64-bit installer for a 64-bit program: it also runs where Wine has no 32-bit side.
Target amd64-unicode
SetCompressor /SOLID lzma
; The program runs as the user: so does its installer, unless started as administrator.
RequestExecutionLevel user

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "nsDialogs.nsh"

!define PRODUCT "RT-88H Updater"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\RT88HUpdater"
!define RUNNING_TEXT "${PRODUCT} is running. Close every copy of it, then press Retry."

!ifdef SIGN
  !finalize '"${SIGN}" "%1"'
  !uninstfinalize '"${SIGN}" "%1"'
!endif

!if ${TEST_IMAGES} == 1
  !define TITLE "${PRODUCT} ${VERSION} (TEST IMAGES)"
  !define MUI_WELCOMEPAGE_TITLE "${PRODUCT} ${VERSION}: TEST IMAGES, not firmware"
  !define MUI_WELCOMEPAGE_TEXT "TEST IMAGES: this build carries generated placeholder images instead of the device's firmware. Never use it to update a device; it is for trying the program only.$\r$\n$\r$\nThe updater rewrites the flash memory of one RT-88H over MIDI System Exclusive. Click Next to continue."
!else
  !define TITLE "${PRODUCT} ${VERSION}"
  !define MUI_WELCOMEPAGE_TEXT "The updater rewrites the flash memory of one RT-88H over MIDI System Exclusive: pick the device's MIDI input and output, press Execute. Up to 20 copies run side by side, one per device.$\r$\n$\r$\nClick Next to continue."
!endif

Name "${TITLE}"
OutFile "${OUTFILE}"
BrandingText "${TITLE}"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${TITLE} setup"
VIAddVersionKey "CompanyName" "${PRODUCT}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 The rt88h-updater developers, MIT License"

Var AllUsers       ; 1: for every user (administrators only)
Var ChosenDir      ; 1: /D= named the folder
Var ModePage
Var ForMe
Var ForEveryone

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartAsUser

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
Page custom ModePageShow ModePageLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Refuses while a copy runs: each copy holds its instance name, as the copies find each other.
!macro REFUSE_WHILE_RUNNING
  retry:
  StrCpy $1 1
  ${Do}
    StrCpy $2 "${INSTANCE_NAME}"
    ${If} $1 > 1
      StrCpy $2 "${INSTANCE_NAME} ($1)"
    ${EndIf}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w r2) p .r0'
    ${If} $0 != 0
      System::Call 'kernel32::CloseHandle(p r0)'
      MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${RUNNING_TEXT}" /SD IDCANCEL IDRETRY retry
      SetErrorLevel 3
      Quit
    ${EndIf}
    IntOp $1 $1 + 1
  ${LoopUntil} $1 > ${MAX_INSTANCES}
!macroend

; Per user unless /AllUsers (administrators only) or the mode page says otherwise.
!macro CHOOSE_MODE
  StrCpy $AllUsers 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AllUsers" $1
  ${IfNot} ${Errors}
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 != "Admin"
      MessageBox MB_OK|MB_ICONSTOP "Installing for every user needs administrator rights: run it as administrator." /SD IDOK
      SetErrorLevel 4
      Quit
    ${EndIf}
    StrCpy $AllUsers 1
  ${EndIf}
!macroend

Function ApplyMode
  ${If} $AllUsers == 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
  ${If} $ChosenDir != 1
    ${If} $AllUsers == 1
      StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${Else}
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${PRODUCT}"
    ${EndIf}
  ${EndIf}
FunctionEnd

Function .onInit
  SetRegView 64
  !insertmacro REFUSE_WHILE_RUNNING
  StrCpy $ChosenDir 0
  ${If} $INSTDIR != ""
    StrCpy $ChosenDir 1
  ${EndIf}
  !insertmacro CHOOSE_MODE
  Call ApplyMode
FunctionEnd

; Only an administrator is asked.
Function ModePageShow
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Who may use it" "Install ${PRODUCT} for yourself or for every user."
  nsDialogs::Create 1018
  Pop $ModePage
  ${NSD_CreateRadioButton} 0 10u 100% 12u "Only for me, in my own folders"
  Pop $ForMe
  ${NSD_CreateRadioButton} 0 30u 100% 12u "For everyone who uses this computer"
  Pop $ForEveryone
  ${If} $AllUsers == 1
    ${NSD_Check} $ForEveryone
  ${Else}
    ${NSD_Check} $ForMe
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $ForEveryone $0
  StrCpy $AllUsers 0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $AllUsers 1
  ${EndIf}
  Call ApplyMode
FunctionEnd

; The installer may run as administrator: the program starts through the shell, as the user.
Function StartAsUser
  Exec '"$WINDIR\explorer.exe" "$INSTDIR\rt88h-updater.exe"'
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  File "/oname=rt88h-updater.exe" "${UPDATER_EXE}"
  File "/oname=README.txt" "${README}"
  File "/oname=LICENSE.txt" "${LICENSE}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\rt88h-updater.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; SHCTX: HKLM for every user, HKCU for one.
  StrCpy $0 ""
  ${If} $AllUsers == 1
    StrCpy $0 " /AllUsers"
  ${EndIf}
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${TITLE}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "URLInfoAbout" "${URL}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\rt88h-updater.exe,0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"$0'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S$0'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $1 $2 $3
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $1
SectionEnd

Function un.onInit
  SetRegView 64
  !insertmacro REFUSE_WHILE_RUNNING
  StrCpy $AllUsers 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AllUsers" $1
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
    UserInfo::GetAccountType
    Pop $1
    ${If} $1 != "Admin"
      ; Settings > Apps starts it as the user: it asks for the rights it needs.
      ExecShell "runas" "$INSTDIR\uninstall.exe" "/AllUsers"
      Quit
    ${EndIf}
  ${EndIf}
  ${If} $AllUsers == 1
    SetShellVarContext all
  ${Else}
    SetShellVarContext current
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  Delete "$INSTDIR\rt88h-updater.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
