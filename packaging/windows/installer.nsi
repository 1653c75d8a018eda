; The Windows installer of Quirada Contábil (QuiradaContabil-setup.exe), made by makensis from
; packaging/windows/CMakeLists.txt:
;
;   makensis -INPUTCHARSET UTF8 -DEXE=<QuiradaContabil.exe> -DINI=<Morvant.ini, CR LF>
;            -DVERSION=<version> -DOUTFILE=<QuiradaContabil-setup.exe> installer.nsi
;
; It installs QuiradaContabil.exe into "<Program Files>\Quirada Contabil" (another folder with
; /D=...), with an example Morvant.ini that never replaces one already there, registers the
; service SrvQuirada ("QuiradaContabil.exe /INSTALL /SILENT", after removing an earlier
; registration), and writes the uninstaller and its entry in the system's list of programs. The
; service is not started: the operator writes Morvant.ini first. A running SrvQuirada is stopped
; before its program is replaced (a running cycle ends after the document in hand).
;
; The uninstaller stops the service, removes it ("/UNINSTALL /SILENT") and removes the files this
; installer wrote, except Morvant.ini: the operator's configuration stays, and so do the service
; log, the cycle's lock file and any XML file left beside the program (the folder goes only when
; nothing is left in it). Both run silently with /S.
;
; 64-bit only (the program is), and so is the installer itself: Wine without its 32-bit part
; does not run a 32-bit installer at all.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh

!ifndef EXE | INI | VERSION | OUTFILE
  !error "Define EXE, INI, VERSION and OUTFILE (see the top of this file)"
!endif

!define SERVICE "SrvQuirada"
!define PROGRAM "QuiradaContabil.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuiradaContabil"
; How long a stop may take: a cycle ends after the document in hand, and one request to the
; platform may take up to 10 minutes.
!define STOP_PATIENCE_SECONDS 900

Name "Quirada Contábil"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quirada Contabil"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Quirada Contábil"
VIAddVersionKey "FileDescription" "Instalador do Quirada Contábil"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" ""

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Stops the service SrvQuirada when it is registered and not stopped, and waits until the service
; control manager says it stopped (at most STOP_PATIENCE_SECONDS). Nothing when it is not there.
!macro DEFINE_STOP_SERVICE PREFIX
Function ${PREFIX}StopService
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  ; SC_MANAGER_CONNECT; SERVICE_STOP | SERVICE_QUERY_STATUS
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 0x0024) p .r1'
    ${If} $1 P<> 0
      ; SERVICE_STATUS: seven DWORDs; the state is the second one.
      System::Call '*(i, i, i, i, i, i, i) p .r2'
      System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
      System::Call '*$2(i, i .r4)'
      ${If} $3 <> 0
      ${AndIf} $4 <> 1
        DetailPrint "Parando o serviço ${SERVICE}..."
        ${If} $4 <> 3
          ; SERVICE_CONTROL_STOP
          System::Call 'advapi32::ControlService(p r1, i 1, p r2) i'
        ${EndIf}
        StrCpy $5 0
        ${Do}
          System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
          System::Call '*$2(i, i .r4)'
          ${If} $3 = 0
          ${OrIf} $4 = 1
            ${ExitDo}
          ${EndIf}
          ${If} $5 >= ${STOP_PATIENCE_SECONDS}
            DetailPrint "O serviço ${SERVICE} não parou em ${STOP_PATIENCE_SECONDS} segundos."
            ${ExitDo}
          ${EndIf}
          Sleep 1000
          IntOp $5 $5 + 1
        ${Loop}
      ${EndIf}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_STOP_SERVICE ""
!insertmacro DEFINE_STOP_SERVICE "un."

Section "Quirada Contábil"
  SetRegView 64
  Call StopService

  SetOutPath "$INSTDIR"
  File "/oname=${PROGRAM}" "${EXE}"
  SetOverwrite off
  File "/oname=Morvant.ini" "${INI}"
  SetOverwrite on
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quirada Contábil"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; A registration left by an earlier installation (perhaps of another folder) makes way for
  ; this one; its absence is no failure.
  nsExec::Exec '"$INSTDIR\${PROGRAM}" /UNINSTALL /SILENT'
  Pop $0
  nsExec::Exec '"$INSTDIR\${PROGRAM}" /INSTALL /SILENT'
  Pop $0
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "Falha ao registrar o serviço ${SERVICE}: $\"${PROGRAM} /INSTALL$\" terminou com o estado $0. Rode-o num prompt de comando como administrador para ver a causa." /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}
  DetailPrint "Serviço ${SERVICE} instalado (início automático); ele ainda não foi iniciado."
  DetailPrint "Próximos passos:"
  DetailPrint "  1. Edite $INSTDIR\Morvant.ini: [Morvant] Servidor e Caminho."
  DetailPrint "  2. O cliente do Firebird 3 de 64 bits (fbclient.dll) deve estar instalado."
  DetailPrint "  3. Confira: $\"$INSTDIR\${PROGRAM}$\" /VERIFICAR"
  DetailPrint "  4. Inicie o serviço: sc start ${SERVICE}"
SectionEnd

Section "Uninstall"
  SetRegView 64
  Call un.StopService
  nsExec::Exec '"$INSTDIR\${PROGRAM}" /UNINSTALL /SILENT'
  Pop $0
  ${If} $0 != 0
    DetailPrint "O serviço ${SERVICE} não estava registrado (estado $0)."
  ${EndIf}

  ; The process may still be ending just after it reported the stop.
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\${PROGRAM}"
    ${IfNot} ${Errors}
    ${OrIf} $1 >= 30
      ${ExitDo}
    ${EndIf}
    Sleep 500
    IntOp $1 $1 + 1
  ${Loop}
  Delete /REBOOTOK "$INSTDIR\${PROGRAM}"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only when empty: Morvant.ini, the log and what the service left stay.
  RMDir "$INSTDIR"
SectionEnd
