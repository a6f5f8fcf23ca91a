' A till program as script authors write it: the fiscal printer control
' created by its ProgID, untyped variables, outputs read back from the
' variables that were passed. Usage: cscript //nologo till.vbs DEVICE
Option Explicit

Dim fp
Set fp = CreateObject("KERUNEL.KerunelCtrl.1")

Sub Check(what, rc)
  If rc <> 0 Then
    WScript.Echo what & " failed: " & rc & "/" & fp.ResultCodeExtended
    WScript.Quit 1
  End If
End Sub

Check "Open", fp.Open(WScript.Arguments(0))
Check "Claim", fp.Claim(2000)
fp.DeviceEnabled = True
Check "DeviceEnabled", fp.ResultCode

Check "BeginFiscalReceipt", fp.BeginFiscalReceipt(True)
Check "PrintRecItem", fp.PrintRecItem("Bread", 2.5, 0, 1, 0, "")
Check "PrintRecItem", fp.PrintRecItem("Milk", 1.1, 0, 3, 0, "")
Check "PrintRecTotal", fp.PrintRecTotal(3.6, 5, "CASH")
Check "EndFiscalReceipt", fp.EndFiscalReceipt(False)

' The outputs land in whatever the variables held before: an Integer,
' nothing at all.
Dim optArgs, total, rate, today
optArgs = 0
Check "GetData", fp.GetData(2, optArgs, total)
WScript.Echo "GetData " & TypeName(optArgs) & " " & TypeName(total) & " " & total
rate = 0
Check "GetVatEntry", fp.GetVatEntry(1, 0, rate)
WScript.Echo "GetVatEntry " & TypeName(rate) & " " & rate
Check "GetDate", fp.GetDate(today)
WScript.Echo "GetDate " & TypeName(today) & " " & Len(today)

fp.DeviceEnabled = False
Check "Release", fp.Release_()
Check "Close", fp.Close()
Set fp = Nothing
WScript.Echo "done"
