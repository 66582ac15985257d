; The Windows installer: Parlavant's window, its interface texts, the XMPP chat client with its
; launcher, the stand-in chat client, a Start-menu entry (the launcher) and an uninstaller. The
; user's settings, history and stored password are the user's: the uninstaller leaves them. makensis -DVERSION=... -DBUILD=<the Windows build> -DOUT=<file>
Unicode true
Target amd64-unicode
!include "MUI2.nsh"
!include "x64.nsh"

Name "Parlavant ${VERSION}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES64\Parlavant"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running Parlavant (its window, or the launcher in the notification area) holds its program
; file: neither the installer nor the uninstaller could replace or remove it, and the uninstaller
; would report success all the same. Both wait until it is closed, or give up (as they do at once
; when silent, with a non-zero exit).
!macro RefuseWhileRunning
  retry:
    FindWindow $0 "ParlavantMainForm"
    FindWindow $1 "ParlavantLauncher"
    StrCmp "$0$1" "00" +3
    MessageBox MB_RETRYCANCEL|MB_ICONSTOP "Parlavant is running. Choose Quit in the menu of its icon in the notification area (or close its window), then choose Retry." /SD IDCANCEL IDRETRY retry
    Abort
!macroend

Function .onInit
  !insertmacro RefuseWhileRunning
FunctionEnd

Function un.onInit
  !insertmacro RefuseWhileRunning
FunctionEnd

Section "Parlavant"
  SetOutPath "$INSTDIR"
  File "${BUILD}/app/parlavant.exe"
  File "${BUILD}/app/stintf.dat"
  File "${BUILD}/tools/parlavant-chatclient.exe"
  File "${BUILD}/xmpp/parlavant-xmpp.exe"
  File "${BUILD}/xmpp/parlavant-launcher.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\Parlavant"
  CreateShortcut "$SMPROGRAMS\Parlavant\Parlavant.lnk" "$INSTDIR\parlavant-launcher.exe"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Parlavant" "DisplayName" "Parlavant"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Parlavant" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Parlavant" "UninstallString" '"$INSTDIR\uninstall.exe"'
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\parlavant.exe"
  Delete "$INSTDIR\stintf.dat"
  Delete "$INSTDIR\parlavant-chatclient.exe"
  Delete "$INSTDIR\parlavant-xmpp.exe"
  Delete "$INSTDIR\parlavant-launcher.exe"
  Delete "$SMPROGRAMS\Parlavant\Parlavant.lnk"
  RMDir "$SMPROGRAMS\Parlavant"
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Parlavant"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
