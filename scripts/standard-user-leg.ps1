<#
.SYNOPSIS
Runs both test executables a second time as a standard local account made for
the run: not an administrator, Medium integrity, with the executables in a
directory that the account owns.

.DESCRIPTION
Hosted Windows runners run every step as an elevated administrator; most
users are not one. This script, run as that administrator:

 1. makes the local account obrex-standard with a random password of 36
    characters, in Users only (obrex_ci_report add-user, with NetUserAdd:
    `net user /add` asks again on the console for a password longer than 14
    characters, and a step's standard input is closed);
 2. copies the executables from -From into C:\obrex-standard\bin, which the
    account owns and fully controls, and makes C:\obrex-standard\foreign, which
    the account may modify but Administrators own, for the test of a --write
    directory that the user cannot label (OBREX_FOREIGN_OWNED_DIR);
 3. starts leg.cmd there as the account with `obrex_ci_report run-as`, which
    calls CreateProcessWithLogonW: it works on hosted runners, needs no
    scheduled task or batch logon right, and gives the account its own
    profile and environment (TEMP, the profile folder), not the runner's;
 4. there, runs `obrex-sandbox-acl.exe check` first, then
    `obrex_ci_report check --standard-user`, which stops the leg before the
    suites with one line when the token holds Administrators in any form or
    is elevated, or when the job that the Secondary Logon service may put it
    in cannot be left by the launcher's trial; then both test executables;
 5. prints what the account saw (the sandbox check, the facts: account,
    elevation, integrity level, job, and the token's groups) before the test
    logs, and appends the sandbox check, the facts and the test results
    (every failed test with its first line, every skipped test with its
    reason) to -Summary and the log.

The process that CreateProcessWithLogonW starts is in a process group of its
own, which ignores Ctrl+C; the console tests send Ctrl+Break, which still
arrives.

The XML reports are copied to -Results. Ends with an error when the sandbox
check fails, when either test executable failed, or when the leg could not
start or was stopped before the suites.
#>
param(
  [string]$From = 'build\windows',
  [string]$Results = 'build\windows\results\standard',
  [string]$Summary = ''
)
$ErrorActionPreference = 'Stop'

$account = 'obrex-standard'
$root = 'C:\obrex-standard'
$bin = "$root\bin"
$foreign = "$root\foreign"
$report = (Resolve-Path "$From\obrex_ci_report.exe").Path

# Upper and lower case, digits and a sign: what the default policy asks for.
$password = [guid]::NewGuid().ToString('N') + 'Aa1-'
$env:OBREX_RUN_AS_PASSWORD = $password
& $report add-user $account
if ($LASTEXITCODE -ne 0) { throw "obrex_ci_report add-user $account failed" }

New-Item -ItemType Directory -Force -Path $bin, $foreign | Out-Null
foreach ($file in 'obrex-sandbox-exec.exe', 'obrex-sandbox-acl.exe', 'obrex_probe.exe',
  'obrex_tests.exe', 'obrex_windows_tests.exe', 'obrex_ci_report.exe') {
  Copy-Item "$From\$file" $bin
}
New-Item -ItemType Directory -Force -Path "$bin\decoy" | Out-Null
Copy-Item "$From\decoy\bcrypt.dll" "$bin\decoy"
@'
@echo off
cd /d "%~dp0"
set OBREX_FOREIGN_OWNED_DIR=C:\obrex-standard\foreign
obrex-sandbox-acl.exe check > acl-check.txt 2>&1
set acl=%errorlevel%
obrex_ci_report.exe facts --title "Where the tests ran (standard user)" > facts.md 2>&1
obrex_ci_report.exe check --standard-user > check.txt 2> refused.txt
if errorlevel 1 exit /b 3
obrex_tests.exe --gtest_brief=0 --gtest_output=xml:obrex_tests.xml > obrex_tests.log 2>&1
set logic=%errorlevel%
obrex_windows_tests.exe --gtest_brief=0 --gtest_output=xml:obrex_windows_tests.xml > obrex_windows_tests.log 2>&1
set real=%errorlevel%
if not "%acl%%logic%%real%"=="000" exit /b 1
exit /b 0
'@ | Set-Content -Path "$bin\leg.cmd" -Encoding ascii

function Invoke-Icacls {
  icacls @args /C /Q
  if ($LASTEXITCODE -ne 0) { throw "icacls $args failed" }
}
# The account owns bin and everything in it; SYSTEM and Administrators keep
# access so that this script can read the results.
Invoke-Icacls $bin /setowner $account /T
Invoke-Icacls $bin /inheritance:r /grant:r "${account}:(OI)(CI)F" 'SYSTEM:(OI)(CI)F' `
  'Administrators:(OI)(CI)F' /T
# Administrators own foreign; the account may modify it, which does not let
# it change the owner or the label.
Invoke-Icacls $foreign /setowner Administrators
Invoke-Icacls $foreign /inheritance:r /grant:r "${account}:(OI)(CI)M" 'SYSTEM:(OI)(CI)F' `
  'Administrators:(OI)(CI)F'

Push-Location $bin
try {
  & $report run-as $account "$env:SystemRoot\System32\cmd.exe /d /c $bin\leg.cmd"
  $code = $LASTEXITCODE
} finally {
  Remove-Item Env:OBREX_RUN_AS_PASSWORD
  Pop-Location
}

foreach ($log in 'acl-check.txt', 'facts.md', 'check.txt', 'refused.txt', 'obrex_tests.log',
  'obrex_windows_tests.log') {
  if (Test-Path "$bin\$log") {
    Write-Output "----- $log"
    Get-Content "$bin\$log" -Encoding utf8
  }
}
if ($Summary -ne '' -and (Test-Path "$bin\acl-check.txt")) {
  $table = (Get-Content "$bin\acl-check.txt" -Encoding utf8) -join "`n"
  "### Sandbox check (standard user)`n`n``````n$table`n``````n" |
    Add-Content -Path $Summary -Encoding utf8
}
if ($Summary -ne '' -and (Test-Path "$bin\facts.md")) {
  Get-Content "$bin\facts.md" -Encoding utf8 | Add-Content -Path $Summary -Encoding utf8
}
if ($code -eq 3) {
  $line = (Get-Content "$bin\refused.txt" -Encoding utf8) -join ' '
  if ($Summary -ne '') {
    "**The standard user's tests did not run:** $line`n" | Add-Content -Path $Summary -Encoding utf8
  }
  throw "the standard user's tests did not run: $line"
}
New-Item -ItemType Directory -Force -Path $Results | Out-Null
$xml = @()
foreach ($name in 'obrex_tests.xml', 'obrex_windows_tests.xml') {
  if (Test-Path "$bin\$name") {
    Copy-Item "$bin\$name" $Results
  }
  $xml += "$Results\$name"
}
# A missing report is named there too.
$arguments = @('results', '--title', 'Test results (standard user)')
if ($Summary -ne '') { $arguments += '--summary', $Summary }
& $report @arguments @xml
if ($code -ne 0) {
  throw "the standard user's leg ended with $code (a FAIL row in the sandbox check, or a failed test)"
}
