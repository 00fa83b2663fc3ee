; The per-user installer of the Windows application folder. scripts/windows/package.sh makes it
; and defines VERSION, VI_VERSION (four numbers), STAGE (the folder that ships), INSTALL_FILES and
; UNINSTALL_FILES (the file lists), ESTIMATED_SIZE (KiB), OUTFILE, and HAVE_GUI when quillora.exe
; ships.
;
; The program writes into its own folder (web\conf, web\media, web\firmware, data\ and
; config.yaml): it goes where the user may write without administrator rights, and what it wrote
; there is the operator's work, which an upgrade and an uninstall keep.

; A 64-bit installer for a 64-bit program: it also runs where Windows has no 32-bit layer.
Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
; A file that cannot be written fails the install (silent ones too) instead of being skipped.
AllowSkipFiles off

!include LogicLib.nsh
!include MUI2.nsh

!define PRODUCT Quillora
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The program's single-instance mutex (per session).
!define INSTANCE_MUTEX "${PRODUCT}"
!define SYNCHRONIZE 0x00100000

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VI_VERSION}"
VIAddVersionKey /LANG=0 ProductName "${PRODUCT}"
VIAddVersionKey /LANG=0 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=0 FileVersion "${VERSION}"
VIAddVersionKey /LANG=0 FileDescription "${PRODUCT} ${VERSION} setup"

!define MUI_ABORTWARNING
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE CheckInstallFolder
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!ifdef HAVE_GUI
  !define MUI_FINISHPAGE_RUN "$INSTDIR\quillora.exe"
  !insertmacro MUI_PAGE_FINISH
!endif
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE English
!insertmacro MUI_LANGUAGE German

LangString NotWritable ${LANG_ENGLISH} "$INSTDIR cannot be written by you. Quillora keeps its playlists and media in its own folder: please choose a folder of your own."
LangString NotWritable ${LANG_GERMAN} "$INSTDIR ist für Sie nicht beschreibbar. Quillora legt Playlists und Medien in seinem eigenen Ordner ab: bitte wählen Sie einen eigenen Ordner."
LangString Running ${LANG_ENGLISH} "Quillora is running. Close it, then choose Retry."
LangString Running ${LANG_GERMAN} "Quillora läuft. Schließen Sie es und wählen Sie dann Wiederholen."

; $R0 is 1 when $INSTDIR can be made and written, else 0.
Function CheckWritable
  StrCpy $R0 0
  ClearErrors
  CreateDirectory "$INSTDIR"
  IfErrors done
  FileOpen $0 "$INSTDIR\.quillora-write-test" w
  IfErrors done
  FileClose $0
  Delete "$INSTDIR\.quillora-write-test"
  StrCpy $R0 1
  done:
FunctionEnd

Function CheckInstallFolder
  Call CheckWritable
  ${If} $R0 != 1
    MessageBox MB_ICONEXCLAMATION|MB_OK "$(NotWritable)"
    Abort
  ${EndIf}
FunctionEnd

; Files in use cannot be replaced or removed: a running program is closed first. Quits with exit
; code 2 when the user (or /S) gives up.
!macro WaitUntilClosed un
  Function ${un}WaitUntilClosed
    retry:
    System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${INSTANCE_MUTEX}") p .r0'
    ${If} $0 P<> 0
      System::Call 'kernel32::CloseHandle(p r0)'
      MessageBox MB_ICONEXCLAMATION|MB_RETRYCANCEL "$(Running)" /SD IDCANCEL IDRETRY retry
      SetErrorLevel 2
      Quit
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro WaitUntilClosed ""
!insertmacro WaitUntilClosed "un."

Section
  ; Silent installs skip the folder page and its check.
  Call CheckWritable
  ${If} $R0 != 1
    MessageBox MB_ICONSTOP|MB_OK "$(NotWritable)" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  Call WaitUntilClosed

  ; An earlier version takes its own files away first, so that none it shipped and this one does
  ; not is left behind; it keeps the operator's work, as any uninstall does.
  ${If} ${FileExists} "$INSTDIR\Uninstall.exe"
    ExecWait '"$INSTDIR\Uninstall.exe" /S _?=$INSTDIR'
    Delete "$INSTDIR\Uninstall.exe"
  ${EndIf}

  ; The operator's settings survive an upgrade: the shipped ones are only a start.
  ${IfNot} ${FileExists} "$INSTDIR\config.yaml"
    SetOutPath "$INSTDIR"
    File "${STAGE}/config.yaml"
  ${EndIf}
  !include "${INSTALL_FILES}"

  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
!ifdef HAVE_GUI
  CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\quillora.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quillora.exe"
!endif
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${ESTIMATED_SIZE}
SectionEnd

; Exactly the files this version shipped: web\conf, web\media, web\firmware, data\ and
; config.yaml stay, and with them the folders that hold them.
Section Uninstall
  Call un.WaitUntilClosed
  !include "${UNINSTALL_FILES}"
  Delete "$INSTDIR\Uninstall.exe"
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
