Attribute VB_Name = "Tarn"
' Tarn: TarnWebCom.dll (the appliance web client) and TarnIccr.dll (the card reader) for
' spreadsheet macros. 64-bit Office only: both libraries are Windows x64 DLLs.
'
' Import this file with File > Import File in the VBA editor. Call TarnUseFolder once with the
' folder that holds the two DLLs (or put that folder on PATH), then the Tarn functions below.
' TarnExample shows a whole macro.
'
' The web client's exports take UTF-16: VBA strings go in through StrPtr, never ByVal String,
' which VBA would convert to the ANSI code page first. The card reader takes narrow strings in
' the ANSI code page, which is exactly what ByVal String gives.
Option Explicit

' Result codes of the appliance functions.
Public Enum TarnResult
    tarnDone = 0
    tarnSignInRefused = 91
    tarnNoLogRight = 92
    tarnNoAdminRight = 93
    tarnApplianceFailure = 95
    tarnWebPage = 96
    tarnHttpStatus = 98
    tarnNetworkOrFile = 99
End Enum

' What TarnReadCard saw.
Public Enum TarnCardStatus
    tarnCardRead = 0
    tarnNoCard = 1
    tarnNoReader = 2
    tarnNoDialog = 3
End Enum

' The web client writes at most 256 UTF-16 units, terminator included, into a message.
Private Const MESSAGE_UNITS As Long = 256
' 32 hex digits and a terminator.
Private Const DIGEST_UNITS As Long = 33
' The longest identifier needs 27 bytes; the rest is margin.
Private Const ID_BYTES As Long = 64
' The web client takes an argument this long or longer as the empty string.
Private Const ARGUMENT_UNITS As Long = 256
Private Const ERROR_BAD_EXE_FORMAT As Long = 193

Private Declare PtrSafe Function GetJobLogW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr, _
    ByVal path As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function GetJobLogNoLoginW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal path As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function GetUserInfoW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr, _
    ByVal path As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function SetUserInfoW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr, _
    ByVal path As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function GetProxyInfoW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr, _
    ByVal path As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function SetProxyInfoW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr, _
    ByVal path As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function GetDeviceStatusMchimanW Lib "TarnWebCom.dll" ( _
    ByVal host As LongPtr, ByVal message As LongPtr) As Long
Private Declare PtrSafe Function EncryptW Lib "TarnWebCom.dll" ( _
    ByVal digest As LongPtr, ByVal user As LongPtr, ByVal password As LongPtr) As Long
Private Declare PtrSafe Function GetUtf8ByteCountW Lib "TarnWebCom.dll" ( _
    ByVal text As LongPtr) As Long
Private Declare PtrSafe Function SetProxySetting Lib "TarnWebCom.dll" ( _
    ByVal bUseProxy As Long) As Long
' Exported under its C++ name.
Private Declare PtrSafe Function fnZCCOMUTILDLL Lib "TarnWebCom.dll" _
    Alias "?fnZCCOMUTILDLL@@YAHXZ" () As Long

Private Declare PtrSafe Function fnExcelStringFunc Lib "TarnIccr.dll" ( _
    ByVal title As String, ByVal out As String) As Long

Private Declare PtrSafe Function LoadLibraryW Lib "kernel32" ( _
    ByVal lpLibFileName As LongPtr) As LongPtr

Private Enum Transfer
    JobLog
    UserInfoGet
    UserInfoSet
    ProxyInfoGet
    ProxyInfoSet
End Enum

' Loads both DLLs from a folder, so that the Declare statements find them without PATH.
' Raises an error naming the DLL that cannot be loaded.
Public Sub TarnUseFolder(ByVal folder As String)
#If Win64 Then
    Dim dll As Variant
    Dim file As String
    If Right$(folder, 1) <> "\" Then folder = folder & "\"
    For Each dll In Array("TarnWebCom.dll", "TarnIccr.dll")
        file = folder & dll
        If LoadLibraryW(StrPtr(file)) = 0 Then
            If Err.LastDllError = ERROR_BAD_EXE_FORMAT Then
                Err.Raise vbObjectError + 1, "Tarn", file & " is not a 64-bit Windows DLL."
            End If
            Err.Raise vbObjectError + 1, "Tarn", "Cannot load " & file & _
                " (Windows error " & Err.LastDllError & ")."
        End If
    Next dll
#Else
    Err.Raise vbObjectError + 1, "Tarn", "The Tarn DLLs need 64-bit Office."
#End If
End Sub

' True when TarnWebCom.dll can be found and called.
Public Function TarnWebComAvailable() As Boolean
    On Error GoTo Missing
    TarnWebComAvailable = (fnZCCOMUTILDLL() = 0)
    Exit Function
Missing:
    TarnWebComAvailable = False
End Function

' Signs in (needs the LOG right), downloads the job log into the file `path` as UTF-8 and signs
' out. Returns a TarnResult; `message` receives the error text of 98 and 99, else "".
Public Function TarnGetJobLog(ByVal host As String, ByVal user As String, _
        ByVal password As String, ByVal path As String, _
        Optional ByRef message As String) As Long
    TarnGetJobLog = RunTransfer(JobLog, host, user, password, path, message)
End Function

' As TarnGetJobLog, with an empty user name and password.
Public Function TarnGetJobLogNoLogin(ByVal host As String, ByVal path As String, _
        Optional ByRef message As String) As Long
    Dim buffer As String
    CheckArgument "host", host
    CheckArgument "path", path
    buffer = String$(MESSAGE_UNITS, vbNullChar)
    TarnGetJobLogNoLogin = GetJobLogNoLoginW(StrPtr(host), StrPtr(path), StrPtr(buffer))
    message = UntilNul(buffer)
End Function

' User list (needs the ADMIN right): download into `path`.
Public Function TarnGetUserInfo(ByVal host As String, ByVal user As String, _
        ByVal password As String, ByVal path As String, _
        Optional ByRef message As String) As Long
    TarnGetUserInfo = RunTransfer(UserInfoGet, host, user, password, path, message)
End Function

' User list (needs the ADMIN right): upload the file `path`.
Public Function TarnSetUserInfo(ByVal host As String, ByVal user As String, _
        ByVal password As String, ByVal path As String, _
        Optional ByRef message As String) As Long
    TarnSetUserInfo = RunTransfer(UserInfoSet, host, user, password, path, message)
End Function

' Proxy settings (needs the ADMIN right): download into `path`.
Public Function TarnGetProxyInfo(ByVal host As String, ByVal user As String, _
        ByVal password As String, ByVal path As String, _
        Optional ByRef message As String) As Long
    TarnGetProxyInfo = RunTransfer(ProxyInfoGet, host, user, password, path, message)
End Function

' Proxy settings (needs the ADMIN right): upload the file `path`.
Public Function TarnSetProxyInfo(ByVal host As String, ByVal user As String, _
        ByVal password As String, ByVal path As String, _
        Optional ByRef message As String) As Long
    TarnSetProxyInfo = RunTransfer(ProxyInfoSet, host, user, password, path, message)
End Function

' The appliance's mchiman value (1: transfers need a sign-in). 98 and 99 are failures only
' when `message` is not empty: the appliance itself may answer those values.
Public Function TarnGetDeviceStatus(ByVal host As String, _
        Optional ByRef message As String) As Long
    Dim buffer As String
    CheckArgument "host", host
    buffer = String$(MESSAGE_UNITS, vbNullChar)
    TarnGetDeviceStatus = GetDeviceStatusMchimanW(StrPtr(host), StrPtr(buffer))
    message = UntilNul(buffer)
End Function

' The salted digest of a user name and password: 32 lower-case hex digits.
Public Function TarnEncrypt(ByVal user As String, ByVal password As String) As String
    Dim buffer As String
    CheckArgument "user", user
    CheckArgument "password", password
    buffer = String$(DIGEST_UNITS, vbNullChar)
    EncryptW StrPtr(buffer), StrPtr(user), StrPtr(password)
    TarnEncrypt = UntilNul(buffer)
End Function

' Bytes of the UTF-8 form of `text`, its terminator included.
Public Function TarnUtf8ByteCount(ByVal text As String) As Long
    TarnUtf8ByteCount = GetUtf8ByteCountW(StrPtr(text))
End Function

' True (the default): later calls go through the system's proxy; False: directly.
Public Sub TarnSetProxy(ByVal useProxy As Boolean)
    SetProxySetting IIf(useProxy, 1, 0)
End Sub

' Shows the card dialog (ten seconds to touch a card) and returns the card identifier in
' lower-case hex, or "" when none was read; `status` tells why. With no reader the library
' has already shown a message box.
Public Function TarnReadCard(Optional ByVal title As String, _
        Optional ByRef status As TarnCardStatus) As String
    Dim out As String
    Dim result As Long
    Dim terminator As Long
    ' Filled with a character the library never writes, so an untouched buffer shows.
    out = String$(ID_BYTES, Chr$(127))
    result = fnExcelStringFunc(title, out)
    terminator = InStr(1, out, vbNullChar, vbBinaryCompare)
    If terminator = 0 Then
        If result = 1 Then status = tarnNoDialog Else status = tarnNoReader
        TarnReadCard = ""
    ElseIf terminator = 1 Then
        status = tarnNoCard
        TarnReadCard = ""
    Else
        status = tarnCardRead
        TarnReadCard = Left$(out, terminator - 1)
    End If
End Function

' A sentence for a result of the appliance functions; `message` is their error text.
Public Function TarnResultText(ByVal code As Long, Optional ByVal message As String) As String
    Select Case code
    Case tarnDone
        TarnResultText = "Done."
    Case tarnSignInRefused
        TarnResultText = "The appliance refused the sign-in: check the user name and password."
    Case tarnNoLogRight
        TarnResultText = "The user lacks the LOG right that the job log needs."
    Case tarnNoAdminRight
        TarnResultText = "The user lacks the ADMIN right that user and proxy transfers need."
    Case tarnApplianceFailure
        TarnResultText = "The appliance reported a failure."
    Case tarnWebPage
        TarnResultText = "The appliance sent a web page instead of the requested data."
    Case tarnHttpStatus
        TarnResultText = "The appliance answered with an HTTP error" & Detail(message)
    Case tarnNetworkOrFile
        TarnResultText = "The network or a local file failed" & Detail(message)
    Case Else
        TarnResultText = "Unknown result " & code & "."
    End Select
End Function

' A sentence for the status of TarnReadCard.
Public Function TarnCardStatusText(ByVal status As TarnCardStatus) As String
    Select Case status
    Case tarnCardRead
        TarnCardStatusText = "A card was read."
    Case tarnNoCard
        TarnCardStatusText = "No card was read: none was touched in time, " & _
            "or the dialog was cancelled."
    Case tarnNoReader
        TarnCardStatusText = "No card reader was found."
    Case tarnNoDialog
        TarnCardStatusText = "The card dialog could not be shown."
    Case Else
        TarnCardStatusText = "Unknown card status " & status & "."
    End Select
End Function

' Example macro: reads a card into A1 of the active sheet, then downloads the appliance's job
' log into the workbook's folder. Keep the DLLs beside the workbook, or change the folder.
Public Sub TarnExample()
    Dim id As String
    Dim status As TarnCardStatus
    Dim result As Long
    Dim message As String
    Dim logFile As String

    TarnUseFolder ThisWorkbook.Path

    id = TarnReadCard("Touch your card", status)
    If status = tarnCardRead Then
        ActiveSheet.Range("A1").Value = id
    ElseIf status <> tarnNoReader Then
        ' With no reader the library has already told the user.
        MsgBox TarnCardStatusText(status), vbInformation
    End If

    ' Host name or address of the appliance, optionally with ":port".
    logFile = ThisWorkbook.Path & "\joblog.txt"
    result = TarnGetJobLog("192.0.2.10", "admin", InputBox("Appliance password"), logFile, message)
    If result = tarnDone Then
        MsgBox "Job log saved in " & logFile, vbInformation
    Else
        MsgBox TarnResultText(result, message), vbExclamation
    End If
End Sub

Private Function RunTransfer(ByVal which As Transfer, ByVal host As String, _
        ByVal user As String, ByVal password As String, ByVal path As String, _
        ByRef message As String) As Long
    Dim buffer As String
    CheckArgument "host", host
    CheckArgument "user", user
    CheckArgument "password", password
    CheckArgument "path", path
    buffer = String$(MESSAGE_UNITS, vbNullChar)
    Select Case which
    Case JobLog
        RunTransfer = GetJobLogW(StrPtr(host), StrPtr(user), StrPtr(password), _
            StrPtr(path), StrPtr(buffer))
    Case UserInfoGet
        RunTransfer = GetUserInfoW(StrPtr(host), StrPtr(user), StrPtr(password), _
            StrPtr(path), StrPtr(buffer))
    Case UserInfoSet
        RunTransfer = SetUserInfoW(StrPtr(host), StrPtr(user), StrPtr(password), _
            StrPtr(path), StrPtr(buffer))
    Case ProxyInfoGet
        RunTransfer = GetProxyInfoW(StrPtr(host), StrPtr(user), StrPtr(password), _
            StrPtr(path), StrPtr(buffer))
    Case ProxyInfoSet
        RunTransfer = SetProxyInfoW(StrPtr(host), StrPtr(user), StrPtr(password), _
            StrPtr(path), StrPtr(buffer))
    End Select
    message = UntilNul(buffer)
End Function

' The library would take a long argument as "" without a word: a long path or password would
' fail far from its cause.
Private Sub CheckArgument(ByVal argName As String, ByVal value As String)
    If Len(value) >= ARGUMENT_UNITS Then
        Err.Raise vbObjectError + 2, "Tarn", "The " & argName & " is " & Len(value) & _
            " characters long; the library takes at most " & (ARGUMENT_UNITS - 1) & "."
    End If
End Sub

Private Function UntilNul(ByVal buffer As String) As String
    Dim terminator As Long
    terminator = InStr(1, buffer, vbNullChar, vbBinaryCompare)
    If terminator = 0 Then
        UntilNul = buffer
    Else
        UntilNul = Left$(buffer, terminator - 1)
    End If
End Function

Private Function Detail(ByVal message As String) As String
    If Len(message) = 0 Then
        Detail = "."
    Else
        Detail = ": " & message
    End If
End Function
