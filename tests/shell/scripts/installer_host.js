// Drives the control from JScript the way a page's script would; the test reads the lines.
function report(label, action) {
  try {
    action();
    WScript.Echo(label + ": ok");
  } catch (e) {
    WScript.Echo(label + ": " + e.description);
  }
}
var installer = new ActiveXObject("VARuDevavuzez.Installer");
// Never set: a null string, which reaches the script as an empty one.
WScript.Echo("fresh BaseURL: " + typeof installer.BaseURL + " of length " + installer.BaseURL.length);
report("update without BaseURL", function () { installer.UpdateComponents("a"); });
report("certificate without BaseURL", function () { installer.InstallCertificate("c.cer"); });
installer.BaseURL = "http://127.0.0.1:9/base/";
report("update without AuthPath", function () { installer.UpdateComponents("a"); });
report("certificate without AuthPath", function () { installer.InstallCertificate("c.cer"); });
installer.AuthPath = "auth.php";
report("update without InstallPath", function () { installer.UpdateComponents("a"); });
installer.InstallPath = "";
WScript.Echo("BaseURL: " + installer.BaseURL);
WScript.Echo("AuthPath: " + installer.AuthPath);
WScript.Echo("InstallPath: [" + installer.InstallPath + "]");
var other = new ActiveXObject("VARuDevavuzez.Installer.1");
WScript.Echo("second object BaseURL: [" + other.BaseURL + "]");
