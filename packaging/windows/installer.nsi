; The Windows installer of Quirada Contábil (QuiradaContabil-setup.exe), made by makensis from
; packaging/windows/CMakeLists.txt:
;
;   makensis -INPUTCHARSET UTF8 -DEXE=<QuiradaContabil.exe> -DINI=<Morvant.ini, CR LF>
;            -DLEIAME=<LEIAME.md> -DVERSION=<version> -DOUTFILE=<QuiradaContabil-setup.exe>
;            installer.nsi
;
; It installs QuiradaContabil.exe into "<Program Files>\Quirada Contabil" (another folder with
; /D=<pasta>, last on the command line, or on the folder page), once the program itself has judged
; that folder trusted ("/VERIFICARPASTA", run from the installer's own temporary folder before
; anything is written in the target): a folder others may write is refused with the program's
; message, and nothing is installed. Then the example Morvant.ini (the Windows one), which never
; replaces one already there and which only SYSTEM and the Administrators may open; the operator's
; guide LEIAME.md; the uninstaller
; and its entry in the system's list of programs; and the service, registered by
; "QuiradaContabil.exe /INSTALL" (description, delayed automatic start, recovery actions, the
; event source with its message table).
;
; An upgrade (SrvQuirada registered already): the service and every named instance
; (SrvQuirada$<name>) that runs are stopped (a running cycle ends within seconds), the files
; replaced, the registration kept as the administrator left it (account, start, recovery,
; description; only the program's path follows a new folder) and the services that were running
; started again. A new installation leaves the service stopped: the operator writes Morvant.ini
; first. The next steps are on the finish page and, with /S, in PROXIMOS-PASSOS.txt beside the
; program. A /D= the installer did not take (quoted, or not last) is told, and nothing is
; installed (exit status 2).
;
; The uninstaller stops and removes every named instance ("/UNINSTALL --instancia <name>": their
; folders and INI files stay; one that cannot be removed keeps everything in place, exit status 1),
; then the service ("/UNINSTALL /SILENT") and the files this installer wrote, except Morvant.ini:
; the operator's configuration stays, and so do the service log, the cycle's lock file and any XML
; file left beside the program (the folder goes only when nothing is left in it). Both run
; silently with /S; a refusal then shows only in the exit status (run without /S to read why).
;
; 64-bit only (the program is), and so is the installer itself: Wine without its 32-bit part
; does not run a 32-bit installer at all.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include MUI2.nsh

!ifndef EXE | INI | LEIAME | VERSION | OUTFILE
  !error "Define EXE, INI, LEIAME, VERSION and OUTFILE (see the top of this file)"
!endif

!define SERVICE "SrvQuirada"
!define PROGRAM "QuiradaContabil.exe"
!define NEXT_STEPS "PROXIMOS-PASSOS.txt"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuiradaContabil"
; How long a stop may take: a cycle ends within seconds of the request, but the service manager
; allows a stuck one this long.
!define STOP_PATIENCE_SECONDS 900
; The DACL Morvant.ini gets (it may hold the database password): SYSTEM and the Administrators.
!define PRIVATE_DACL "D:P(A;;FA;;;SY)(A;;FA;;;BA)"

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

Var WasRegistered  ; 1: SrvQuirada was registered before this installation (an upgrade)
Var WasRunning     ; 1: and it was not stopped
Var NextSteps      ; the finish page's text
Var Instances      ; the named instances registered, "acme|beta|" (ListInstances)
Var WereRunning    ; those of them that were running before this installation

!define MUI_ABORTWARNING
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "Quirada Contábil instalado"
!define MUI_FINISHPAGE_TEXT "$NextSteps"
!define MUI_FINISHPAGE_TEXT_LARGE
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "PortugueseBR"

; Stops the service named on the stack (SrvQuirada, or a named instance's SrvQuirada$<name>) when it
; is registered and not stopped, and waits until the service control manager says it stopped (at
; most STOP_PATIENCE_SECONDS). Nothing when it is not there.
!macro DEFINE_STOP_SERVICE PREFIX
Function ${PREFIX}StopService
  Exch $R0
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  ; SC_MANAGER_CONNECT; SERVICE_STOP | SERVICE_QUERY_STATUS
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    System::Call 'advapi32::OpenServiceW(p r0, w R0, i 0x0024) p .r1'
    ${If} $1 P<> 0
      ; SERVICE_STATUS: seven DWORDs; the state is the second one.
      System::Call '*(i, i, i, i, i, i, i) p .r2'
      System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
      System::Call '*$2(i, i .r4)'
      ${If} $3 <> 0
      ${AndIf} $4 <> 1
        DetailPrint "Parando o serviço $R0..."
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
            DetailPrint "O serviço $R0 não parou em ${STOP_PATIENCE_SECONDS} segundos."
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
  Pop $R0
FunctionEnd
!macroend
!insertmacro DEFINE_STOP_SERVICE ""
!insertmacro DEFINE_STOP_SERVICE "un."

; Sets $Instances to the names of the named instances registered, each followed by "|": every
; service SrvQuirada$<name> among the service manager's (its keys in the registry).
!macro DEFINE_LIST_INSTANCES PREFIX
Function ${PREFIX}ListInstances
  Push $0
  Push $1
  Push $2
  StrCpy $Instances ""
  StrCpy $0 0
  ${Do}
    EnumRegKey $1 HKLM "SYSTEM\CurrentControlSet\Services" $0
    ${If} $1 == ""
      ${ExitDo}
    ${EndIf}
    StrCpy $2 $1 11
    ${If} $2 == "${SERVICE}$$"
      StrCpy $2 $1 "" 11
      StrCpy $Instances "$Instances$2|"
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Takes the first name of the list in $R1 ("a|b|") into $R2 ("" when none is left), leaving the
; rest in $R1.
Function ${PREFIX}NextName
  Push $0
  StrCpy $R2 ""
  ${Do}
    StrCpy $0 $R1 1
    StrCpy $R1 $R1 "" 1
    ${If} $0 == "|"
    ${OrIf} $0 == ""
      ${ExitDo}
    ${EndIf}
    StrCpy $R2 "$R2$0"
  ${Loop}
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_LIST_INSTANCES ""
!insertmacro DEFINE_LIST_INSTANCES "un."

; Pushes 1 when the service named on the stack is registered and not stopped, else 0.
Function IsRunning
  Exch $R0
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $R9 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    ; SERVICE_QUERY_STATUS
    System::Call 'advapi32::OpenServiceW(p r0, w R0, i 0x0004) p .r1'
    ${If} $1 P<> 0
      System::Call '*(i, i, i, i, i, i, i) p .r2'
      System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
      System::Call '*$2(i, i .r3)'
      ${If} $3 <> 1
        StrCpy $R9 1
      ${EndIf}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
  StrCpy $R0 $R9
  Exch $R0
FunctionEnd

; Sets $WasRegistered and $WasRunning from the service manager.
Function ReadServiceState
  Push $0
  Push $1
  Push $2
  Push $3
  StrCpy $WasRegistered 0
  StrCpy $WasRunning 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    ; SERVICE_QUERY_STATUS
    System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 0x0004) p .r1'
    ${If} $1 P<> 0
      StrCpy $WasRegistered 1
      System::Call '*(i, i, i, i, i, i, i) p .r2'
      System::Call 'advapi32::QueryServiceStatus(p r1, p r2) i .r3'
      System::Call '*$2(i, i .r3)'
      ${If} $3 <> 1
        StrCpy $WasRunning 1
      ${EndIf}
      System::Free $2
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Whether $INSTDIR is a trusted folder for the service, as the new program judges it, run from the
; installer's own temporary folder (nothing is run or written in the target before it is judged).
; The folder is made first (empty) so that its own rules are judged, and taken away again when it
; is refused. Leaves the exit status in $0 (0: trusted) and the program's words in $1.
Function CheckFolder
  Push $2
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=$PLUGINSDIR\${PROGRAM}" "${EXE}"
  StrCpy $2 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    CreateDirectory "$INSTDIR"
    StrCpy $2 1
  ${EndIf}
  nsExec::ExecToStack '"$PLUGINSDIR\${PROGRAM}" /VERIFICARPASTA "$INSTDIR"'
  Pop $0
  Pop $1
  ${If} $0 != 0
  ${AndIf} $2 = 1
    RMDir "$INSTDIR"
  ${EndIf}
  Pop $2
FunctionEnd

Function DirectoryLeave
  Call CheckFolder
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "A pasta $\"$INSTDIR$\" não serve para o serviço, que roda como LocalSystem: escolha outra (como a sugerida, em Arquivos de Programas).$\r$\n$\r$\n$1"
    Abort
  ${EndIf}
FunctionEnd

; Gives Morvant.ini the DACL of the program's own files.
Function ProtectIni
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $0 1
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PRIVATE_DACL}", i 1, *p .r1, p 0) i .r2'
  ${If} $2 <> 0
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r2, *p .r3, *i .r4) i'
    ; SE_FILE_OBJECT; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR\Morvant.ini", i 1, i 0x80000004, p 0, p 0, p r3, p 0) i .r0'
    System::Call 'kernel32::LocalFree(p r1)'
  ${EndIf}
  ${If} $0 != 0
    DetailPrint "Aviso: não foi possível restringir o acesso a $INSTDIR\Morvant.ini (erro $0): deixe-o só para SYSTEM e os Administradores."
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Points the registered service at this installation's program, nothing else of its registration
; changed (SERVICE_NO_CHANGE for the rest).
Function PointServiceHere
  Push $0
  Push $1
  Push $2
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    ; SERVICE_CHANGE_CONFIG
    System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 0x0002) p .r1'
    ${If} $1 P<> 0
      ; The path quoted, as the service manager must run a path with blanks.
      StrCpy $2 '"$INSTDIR\${PROGRAM}"'
      System::Call 'advapi32::ChangeServiceConfigW(p r1, i 0xffffffff, i 0xffffffff, i 0xffffffff, w r2, p 0, p 0, p 0, p 0, p 0, p 0) i .r2'
      ${If} $2 = 0
        DetailPrint "Aviso: o serviço ${SERVICE} não pôde ser apontado para $INSTDIR\${PROGRAM}."
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Starts the service named on the stack again, as it was before the upgrade.
Function StartService
  Exch $R0
  Push $0
  Push $1
  Push $2
  Push $3
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    ; SERVICE_START
    System::Call 'advapi32::OpenServiceW(p r0, w R0, i 0x0010) p .r1'
    ${If} $1 P<> 0
      System::Call 'advapi32::StartServiceW(p r1, i 0, p 0) i .r2 ? e'
      Pop $3  ; the system's error code
      ${If} $2 = 0
        DetailPrint "Aviso: o serviço $R0 não pôde ser iniciado de novo (erro $3): inicie-o com sc start $R0."
      ${Else}
        DetailPrint "Serviço $R0 iniciado de novo, como estava antes da atualização."
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
  Pop $R0
FunctionEnd

; NSIS takes /D= only last on the command line and without quotes, and takes it off $CMDLINE then:
; one still there (quoted, or not last) was not taken, and the installation would go to another
; folder than the one asked. It is told, and nothing is installed (exit status 2).
Function .onInit
  Push $0
  Push $1
  Push $2
  StrLen $2 $CMDLINE
  StrCpy $0 0
  ${DoWhile} $0 < $2
    StrCpy $1 $CMDLINE 3 $0
    ${If} $1 == "/D="
      MessageBox MB_OK|MB_ICONSTOP "A pasta de /D= não foi entendida, e nada foi instalado: /D=<pasta> vai por último na linha de comando e sem aspas, mesmo com espaços (QuiradaContabil-setup.exe /S /D=D:\Quirada Contabil).$\r$\n$\r$\nLinha de comando: $CMDLINE" /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Section "Quirada Contábil"
  SetRegView 64
  ; The target folder first, silent installs included: nothing goes into a folder others may write.
  Call CheckFolder
  ${If} $0 != 0
    DetailPrint "$1"
    MessageBox MB_OK|MB_ICONSTOP "Nada foi instalado: a pasta $\"$INSTDIR$\" não serve para o serviço, que roda como LocalSystem.$\r$\n$\r$\n$1" /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}
  DetailPrint "$1"

  ; Every service of this program that runs is stopped before the program is replaced (Windows
  ; keeps a running program's file), and started again afterwards: the unnamed one and every named
  ; instance.
  Call ReadServiceState
  ${If} $WasRegistered = 1
    Push "${SERVICE}"
    Call StopService
  ${EndIf}
  Call ListInstances
  StrCpy $WereRunning ""
  StrCpy $R1 $Instances
  ${Do}
    Call NextName
    ${If} $R2 == ""
      ${ExitDo}
    ${EndIf}
    Push "${SERVICE}$$$R2"
    Call IsRunning
    Pop $0
    ${If} $0 = 1
      StrCpy $WereRunning "$WereRunning$R2|"
      Push "${SERVICE}$$$R2"
      Call StopService
    ${EndIf}
  ${Loop}

  SetOutPath "$INSTDIR"
  File "/oname=${PROGRAM}" "${EXE}"
  File "/oname=LEIAME.md" "${LEIAME}"
  ${If} ${FileExists} "$INSTDIR\Morvant.ini"
    DetailPrint "Morvant.ini mantido como está."
  ${Else}
    File "/oname=Morvant.ini" "${INI}"
    Call ProtectIni
  ${EndIf}
  WriteUninstaller "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quirada Contábil"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${PROGRAM}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; An upgrade keeps the registration; only the program's path follows this folder. "/INSTALL"
  ; then registers a new service, or finds this program's and registers the event source again.
  ${If} $WasRegistered = 1
    Call PointServiceHere
  ${EndIf}
  nsExec::ExecToStack '"$INSTDIR\${PROGRAM}" /INSTALL'
  Pop $0
  Pop $1
  DetailPrint "$1"
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "Falha ao registrar o serviço ${SERVICE}: $\"${PROGRAM} /INSTALL$\" terminou com o estado $0.$\r$\n$\r$\n$1" /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}

  StrCpy $R3 ""
  StrCpy $R1 $WereRunning
  ${Do}
    Call NextName
    ${If} $R2 == ""
      ${ExitDo}
    ${EndIf}
    Push "${SERVICE}$$$R2"
    Call StartService
    StrCpy $R3 "$R3 $R2"
  ${Loop}
  ${If} $WasRunning = 1
    Push "${SERVICE}"
    Call StartService
    StrCpy $NextSteps "O serviço ${SERVICE} foi atualizado e iniciado de novo, com o registro (conta, início, recuperação, descrição) como estava.$\r$\n$\r$\n"
  ${ElseIf} $WasRegistered = 1
    StrCpy $NextSteps "O serviço ${SERVICE} foi atualizado, com o registro (conta, início, recuperação, descrição) como estava; ele continua parado.$\r$\n$\r$\n"
  ${Else}
    StrCpy $NextSteps "O serviço ${SERVICE} foi instalado (início automático atrasado, conta do sistema); ele ainda não foi iniciado.$\r$\n$\r$\n"
  ${EndIf}
  ${If} $R3 != ""
    StrCpy $NextSteps "$NextStepsInstâncias com nome paradas para a troca do programa e iniciadas de novo:$R3.$\r$\n$\r$\n"
  ${EndIf}
  StrCpy $NextSteps "$NextStepsPróximos passos:$\r$\n\
  1. Edite $INSTDIR\Morvant.ini: [Morvant] Servidor e Caminho (o caminho do banco como o servidor Firebird o vê).$\r$\n\
  2. O cliente do Firebird 3 de 64 bits (fbclient.dll) deve estar instalado: na pasta do programa ou na instalação do Firebird registrada no Windows.$\r$\n\
  3. Confira, num prompt de comando como administrador: $\"$INSTDIR\${PROGRAM}$\" /VERIFICAR$\r$\n\
  4. Inicie o serviço: sc start ${SERVICE} (ou pelo console de Serviços).$\r$\n\
Guia do operador: $INSTDIR\LEIAME.md, seção Windows."
  DetailPrint "$NextSteps"
  ${If} ${Silent}
    ; No finish page: the next steps beside the program, in a file Notepad opens (UTF-16 LE).
    FileOpen $2 "$INSTDIR\${NEXT_STEPS}" w
    FileWriteWord $2 0xFEFF
    FileWriteUTF16LE $2 "$NextSteps$\r$\n"
    FileClose $2
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetRegView 64
  ; Every named instance first: each stopped and its registration removed by the program
  ; ("/UNINSTALL --instancia", which waits for the stop); its folder and its Morvant.ini stay. One
  ; that cannot be removed keeps the program (a service with no program would fail at every start):
  ; nothing more is removed, the page says which and how, and the exit status is 1.
  Call un.ListInstances
  StrCpy $R4 ""
  StrCpy $R1 $Instances
  ${Do}
    Call un.NextName
    ${If} $R2 == ""
      ${ExitDo}
    ${EndIf}
    nsExec::ExecToStack '"$INSTDIR\${PROGRAM}" /UNINSTALL --instancia $R2'
    Pop $0
    Pop $1
    DetailPrint "$1"
    ${If} $0 = 0
      DetailPrint "Instância $R2 (serviço ${SERVICE}$$$R2) parada e desinstalada; a pasta dela, com o Morvant.ini e o log, fica."
    ${Else}
      StrCpy $R4 "$R4 $R2"
    ${EndIf}
  ${Loop}
  ${If} $R4 != ""
    MessageBox MB_OK|MB_ICONSTOP "Instâncias que continuam registradas:$R4. O programa não foi removido. Remova cada uma num prompt de comando como administrador ($\"$INSTDIR\${PROGRAM}$\" /UNINSTALL --instancia <nome>) e rode o desinstalador de novo." /SD IDOK
    DetailPrint "Instâncias que continuam registradas:$R4; o programa não foi removido."
    SetErrorLevel 1
    Abort
  ${EndIf}

  Push "${SERVICE}"
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
  Delete "$INSTDIR\${NEXT_STEPS}"
  Delete "$INSTDIR\LEIAME.md"
  Delete "$INSTDIR\uninstall.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only when empty: Morvant.ini, the log and what the service left stay.
  RMDir "$INSTDIR"
SectionEnd
