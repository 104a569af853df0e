<#
.SYNOPSIS
Runs both test executables a second time as a standard local account made for
the run: not an administrator, Medium integrity, with the executables in a
directory that the account owns.

.DESCRIPTION
Hosted Windows runners run every step as an elevated administrator; most
users are not one. This script, run as that administrator:

 1. makes the local account obrex-standard with a random password (net user
    puts it in Users only);
 2. copies the executables from -From into C:\obrex-standard\bin, which the
    account owns and fully controls, and makes C:\obrex-standard\foreign, which
    the account may modify but Administrators own, for the test of a --write
    directory that the user cannot label (OBREX_FOREIGN_OWNED_DIR);
 3. starts leg.cmd there as the account with `obrex_ci_report run-as`, which
    calls CreateProcessWithLogonW: it works on hosted runners, needs no
    scheduled task or batch logon right, and gives the account its own
    profile and environment (TEMP, the profile folder), not the runner's;
 4. prints what the account saw (obrex_ci_report facts: account, elevation,
    integrity level) before the test logs, and appends the facts and the
    skipped tests to -Summary.

The XML reports are copied to -Results. Ends with an error when either test
executable failed or the leg could not start.
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
net user $account $password /add /expires:never | Out-Null
if ($LASTEXITCODE -ne 0) { throw "net user $account /add failed" }

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
obrex_ci_report.exe facts --title "Where the tests ran (standard user)" > facts.md 2>&1
obrex_tests.exe --gtest_brief=0 --gtest_output=xml:obrex_tests.xml > obrex_tests.log 2>&1
set logic=%errorlevel%
obrex_windows_tests.exe --gtest_brief=0 --gtest_output=xml:obrex_windows_tests.xml > obrex_windows_tests.log 2>&1
set real=%errorlevel%
if not "%logic%%real%"=="00" exit /b 1
exit /b 0
'@ | Set-Content -Path "$bin\leg.cmd" -Encoding ascii

function Invoke-Icacls {
  icacls @args /C /Q | Out-Null
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
  $env:OBREX_RUN_AS_PASSWORD = $password
  & $report run-as $account "$env:SystemRoot\System32\cmd.exe /d /c $bin\leg.cmd"
  $code = $LASTEXITCODE
} finally {
  Remove-Item Env:OBREX_RUN_AS_PASSWORD
  Pop-Location
}

foreach ($log in 'facts.md', 'obrex_tests.log', 'obrex_windows_tests.log') {
  if (Test-Path "$bin\$log") {
    Write-Output "----- $log"
    Get-Content "$bin\$log" -Encoding utf8
  }
}
New-Item -ItemType Directory -Force -Path $Results | Out-Null
$xml = @()
foreach ($name in 'obrex_tests.xml', 'obrex_windows_tests.xml') {
  if (Test-Path "$bin\$name") {
    Copy-Item "$bin\$name" $Results
    $xml += "$Results\$name"
  }
}
if ($Summary -ne '') {
  if (Test-Path "$bin\facts.md") {
    Get-Content "$bin\facts.md" -Encoding utf8 | Add-Content -Path $Summary -Encoding utf8
  }
  if ($xml.Count -gt 0) {
    & $report skipped --title 'Skipped tests (standard user)' --summary $Summary @xml | Out-Null
  }
}
if ($code -ne 0) { throw "the standard user's tests ended with $code" }
