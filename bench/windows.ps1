<#
.SYNOPSIS
The benchmark on Windows: the process-level table that bench/run prints
under Wine, measured natively, then the first and the second run over a tree
of 10,000 files with --write and with --deny.

.DESCRIPTION
Run it in the repository from a Developer PowerShell for Visual Studio
(cmake, ninja and cl on PATH), from a normal, not elevated, prompt:

    powershell -ExecutionPolicy Bypass -File bench\windows.ps1

It builds the msvc preset's obrex-sandbox-exec.exe and the benchmark's
programs (bench\CMakeLists.txt) and runs bench\driver.cpp, which prints both
tables; the driver makes the trees under the temporary folder and deletes
them. With -Summary FILE, the tables are also appended to FILE (the
workflow's job summary) as a block of Markdown.
#>
param(
  [int]$Rounds = 40,
  [int]$Files = 10000,
  [string]$Summary = ''
)
$ErrorActionPreference = 'Stop'
Set-Location (Split-Path -Parent $PSScriptRoot)

if (-not (Test-Path 'build\msvc\CMakeCache.txt')) {
  cmake --preset msvc
  if ($LASTEXITCODE -ne 0) { throw 'cmake --preset msvc failed' }
}
cmake --build --preset msvc --target obrex-sandbox-exec obrex_bench obrex_bench_noop `
  obrex_bench_floor1 obrex_bench_floor2 obrex_bench_floor3
if ($LASTEXITCODE -ne 0) { throw 'the build failed' }

$tables = & 'build\msvc\bench\obrex_bench.exe' --rounds $Rounds --tree $Files
$code = $LASTEXITCODE
$tables
if ($Summary -ne '') {
  $block = @('### Benchmark (bench\driver.cpp)', '', '```') + $tables + @('```', '')
  Add-Content -Path $Summary -Value $block -Encoding utf8
}
if ($code -ne 0) { throw "obrex_bench ended with $code" }
