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
programs (bench\CMakeLists.txt), prints the table of bench\driver.cpp, then
creates two trees of files under the temporary folder, one for --write and
one for --deny, times the runs over them and deletes them. Those runs label
the trees and grant them to the sandbox SID of a project directory that the
script creates beside them. The table's case without the sandbox temporary
directory removes that directory before each run, but only while it is
empty; it stops with a message otherwise.

The tree runs are timed from PowerShell, which adds its own cost of starting
a program: the line "no paths" is the same launch without a tree, for
comparison.
#>
param(
  [int]$Rounds = 40,
  [int]$Files = 10000
)
$ErrorActionPreference = 'Stop'
Set-Location (Split-Path -Parent $PSScriptRoot)

$build = 'build\msvc'
if (-not (Test-Path "$build\CMakeCache.txt")) {
  cmake --preset msvc
  if ($LASTEXITCODE -ne 0) { throw 'cmake --preset msvc failed' }
}
cmake --build --preset msvc --target obrex-sandbox-exec obrex_bench obrex_bench_noop `
  obrex_bench_floor1 obrex_bench_floor2 obrex_bench_floor3
if ($LASTEXITCODE -ne 0) { throw 'the build failed' }

$launcher = (Resolve-Path "$build\obrex-sandbox-exec.exe").Path
$command = (Resolve-Path "$build\bench\obrex_bench_noop.exe").Path

Write-Output 'Process level (bench\driver.cpp):'
& "$build\bench\obrex_bench.exe" --rounds $Rounds
if ($LASTEXITCODE -ne 0) { throw 'obrex_bench failed' }

# $Count empty files, 100 to a directory.
function New-Tree([string]$Path, [int]$Count) {
  for ($i = 0; $i -lt $Count; $i++) {
    $directory = Join-Path $Path ('d{0:D4}' -f [math]::Floor($i / 100))
    if ($i % 100 -eq 0) { [IO.Directory]::CreateDirectory($directory) | Out-Null }
    [IO.File]::WriteAllBytes((Join-Path $directory "f$i.txt"), [byte[]]@())
  }
}

# The milliseconds one run of the launcher takes, which must end with 0.
function Measure-Run([string[]]$Arguments) {
  $watch = [Diagnostics.Stopwatch]::StartNew()
  & $launcher @Arguments
  $code = $LASTEXITCODE
  $watch.Stop()
  if ($code -ne 0) { throw "obrex-sandbox-exec $Arguments ended with $code" }
  return $watch.Elapsed.TotalMilliseconds
}

$root = Join-Path ([IO.Path]::GetTempPath()) "obrex-bench-tree-$PID"
$project = Join-Path $root 'project'
$writeTree = Join-Path $root 'write'
$denyTree = Join-Path $root 'deny'
try {
  New-Item -ItemType Directory -Path $project | Out-Null
  New-Tree $writeTree $Files
  New-Tree $denyTree $Files

  $rows = [ordered]@{}
  $rows['no paths'] = Measure-Run @('--project', $project, '--', $command)
  $rows['--write, first run'] = Measure-Run @('--project', $project, '--write', $writeTree, '--', $command)
  $rows['--write, second run'] = Measure-Run @('--project', $project, '--write', $writeTree, '--', $command)
  $rows['--deny, first run'] = Measure-Run @('--project', $project, '--deny', $denyTree, '--', $command)
  $rows['--deny, second run'] = Measure-Run @('--project', $project, '--deny', $denyTree, '--', $command)

  Write-Output ''
  Write-Output "Runs over a tree of $Files files (ms, one run each, timed from PowerShell):"
  foreach ($row in $rows.GetEnumerator()) {
    Write-Output ('  {0,-22} {1,10:F1}' -f $row.Key, $row.Value)
  }
} finally {
  if (Test-Path $root) { Remove-Item -Recurse -Force $root }
}
