' Drives the control from VBScript; the test reads the lines.
' Wine's VBScript CreateObject refuses objects with IObjectWithSite under cscript (its
' host offers no service provider), so the object comes from the host's CreateObject.
Option Explicit
Dim installer, other
Set installer = WScript.CreateObject("VARuDevavuzez.Installer")
Sub Report(label)
  If Err.Number = 0 Then
    WScript.Echo label & ": ok"
  Else
    WScript.Echo label & ": " & Err.Description & " | " & Err.Source & " [" & LCase(Hex(Err.Number)) & "]"
  End If
  Err.Clear
End Sub
On Error Resume Next
WScript.Echo "fresh BaseURL is null: " & IsNull(installer.BaseURL) & " empty: " & IsEmpty(installer.BaseURL) & " len: " & Len(installer.BaseURL)
installer.UpdateComponents "a"
Report "update without BaseURL"
installer.InstallCertificate "c.cer"
Report "certificate without BaseURL"
installer.BaseURL = "http://127.0.0.1:9/base/"
installer.UpdateComponents "a"
Report "update without AuthPath"
installer.AuthPath = "auth.php"
installer.UpdateComponents "a"
Report "update without InstallPath"
WScript.Echo "BaseURL: " & installer.BaseURL
WScript.Echo "AuthPath: " & installer.AuthPath
Set other = WScript.CreateObject("VARuDevavuzez.Installer.1")
Report "second object by versioned ProgID"
WScript.Echo "second object AuthPath length: " & Len(other.AuthPath)
