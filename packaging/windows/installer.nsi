; The per-user installer of the Arbelon client: no administrator rights, installed under the
; user's own programs folder, a Start-menu entry, arbelon:// watch links for this user, and
; an uninstaller that takes all of it away again but leaves the user's settings (the
; registry keys "Arbelon Client" and "Arbelon"). /S installs and uninstalls silently.
;
;   makensis -DVERSION=<project(VERSION), as tools/windows/build.sh reads it> -DSOURCE=<folder of the installed programs> -DOUTFILE=<exe> installer.nsi
; The programs are 64-bit, and so is the installer (a 64-bit Windows may lack the 32-bit layer).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Arbelon"
!define LINK_KEY "Software\Classes\arbelon"

Name "Arbelon ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Arbelon"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Arbelon"
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${SOURCE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Arbelon"
  CreateShortcut "$SMPROGRAMS\Arbelon\Arbelon Client.lnk" "$INSTDIR\arbelon-client.exe"

  ; A click on a watch link opens it in the client.
  WriteRegStr HKCU "${LINK_KEY}" "" "URL:Arbelon watch link"
  WriteRegStr HKCU "${LINK_KEY}" "URL Protocol" ""
  WriteRegStr HKCU "${LINK_KEY}\DefaultIcon" "" "$INSTDIR\arbelon-client.exe,0"
  WriteRegStr HKCU "${LINK_KEY}\shell\open\command" "" '"$INSTDIR\arbelon-client.exe" "%1"'

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Arbelon"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Arbelon"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\Arbelon\Arbelon Client.lnk"
  RMDir "$SMPROGRAMS\Arbelon"
  DeleteRegKey HKCU "${LINK_KEY}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"

  ; Only what the installer put there: a folder the user chose may hold more.
  Delete "$INSTDIR\arbelon-client.exe"
  Delete "$INSTDIR\arbelon-cli.exe"
  Delete "$INSTDIR\*.dll"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  RMDir /r "$INSTDIR\imageformats"
  RMDir /r "$INSTDIR\docs"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
