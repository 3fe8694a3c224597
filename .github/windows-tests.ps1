# Runs the cross-built Windows test programs natively against one OrvellaService.exe,
# as the Wine tier runs them under Wine. Needs an administrator; exits non-zero when
# any program fails.
#
#   windows-tests.ps1 -Exe <OrvellaService.exe> -Programs <folder> [-Packages <folder>]
#
# <folder> holds the test programs (tests\) and the stand-in agent (fixtures\). With
# -Packages (the folder tests/wine/msi/make-packages fills: OrvellaService-1.0.0.msi,
# -1.1.0.msi, -1.1.0-rebuild.msi, -1.1.0-failing-uninstall.msi) the MSI program also
# runs: install, upgrade, rebuild, failed and real removal with the system's msiexec,
# expecting Windows' own answers where they differ from Wine's; meanwhile the folder the
# package's steps run their copy of the exe from is logged, and fails the run when users
# other than administrators may write into it.
#
# The session stand-in stays unused here: the programs see that they run on Windows
# and take the runner's own sessions.
param(
    [Parameter(Mandatory = $true)][string] $Exe,
    [Parameter(Mandatory = $true)][string] $Programs,
    [string] $Packages = ''
)
$ErrorActionPreference = 'Stop'

$principal = [Security.Principal.WindowsPrincipal][Security.Principal.WindowsIdentity]::GetCurrent()
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    throw 'the Windows test programs need an administrator'
}
$scratch = if ($env:RUNNER_TEMP) { $env:RUNNER_TEMP } else { $env:TEMP }

$env:ORVELLA_EXE = (Resolve-Path $Exe).Path
$env:ORVELLA_FIXTURES = (Resolve-Path (Join-Path $Programs 'fixtures')).Path
$project = Select-String -Path (Join-Path $PSScriptRoot '..\CMakeLists.txt') -Pattern 'project\(Orvella VERSION ([0-9.]+)'
$env:ORVELLA_VERSION = $project.Matches[0].Groups[1].Value
$tests = (Resolve-Path (Join-Path $Programs 'tests')).Path

# The data-folder cases need a drive D: (under Wine the prefix maps one); a runner
# without one gets a substitute.
if (-not (Test-Path 'D:\')) {
    $drive = Join-Path $scratch 'drive_d'
    New-Item -ItemType Directory -Force -Path $drive | Out-Null
    subst.exe D: $drive
}

# A scheduled task's process inherits nothing of this one: the script hands it the
# variables, and its exit status comes back through a file renamed into place whole.
function Invoke-AsSystem([string] $program) {
    $name = 'OrvellaTestAsSystem'
    $work = Join-Path $scratch $name
    New-Item -ItemType Directory -Force -Path $work | Out-Null
    $log = Join-Path $work 'output.txt'
    $status = Join-Path $work 'status.txt'
    Remove-Item -Force -ErrorAction SilentlyContinue $log, $status
    $batch = Join-Path $work 'run.cmd'
    @(
        '@echo off'
        "set ORVELLA_EXE=$env:ORVELLA_EXE"
        "set ORVELLA_FIXTURES=$env:ORVELLA_FIXTURES"
        "set ORVELLA_VERSION=$env:ORVELLA_VERSION"
        "`"$program`" > `"$log`" 2>&1"
        ">`"$status.part`" echo %ERRORLEVEL%"
        "move /y `"$status.part`" `"$status`" > nul"
    ) | Set-Content -Path $batch -Encoding ascii
    $action = New-ScheduledTaskAction -Execute 'cmd.exe' -Argument "/c `"$batch`""
    # A virtual machine may count as running on batteries, which the defaults refuse.
    $settings = New-ScheduledTaskSettingsSet -AllowStartIfOnBatteries -DontStopIfGoingOnBatteries `
        -ExecutionTimeLimit (New-TimeSpan -Minutes 15)
    Register-ScheduledTask -TaskName $name -Action $action -Settings $settings -User 'NT AUTHORITY\SYSTEM' `
        -RunLevel Highest -Force | Out-Null
    Start-ScheduledTask -TaskName $name
    $deadline = (Get-Date).AddMinutes(10)
    while (-not (Test-Path $status) -and (Get-Date) -lt $deadline) {
        Start-Sleep -Seconds 2
    }
    Unregister-ScheduledTask -TaskName $name -Confirm:$false
    if (Test-Path $log) {
        Get-Content $log | Write-Host
    }
    if (-not (Test-Path $status)) {
        Write-Host "$program did not end within 10 minutes"
        return 1
    }
    return [int](Get-Content $status).Trim()
}

$failed = @()
# The administrative modes and the service run as an administrator would use them.
foreach ($name in 'wine_toolchain_tests', 'wine_fixture_tests', 'wine_entry_tests', 'wine_layout_tests', 'wine_service_tests') {
    Write-Host "== $name against $env:ORVELLA_EXE"
    & (Join-Path $tests "$name.exe")
    if ($LASTEXITCODE -ne 0) { $failed += $name }
}

# The console run moves a copy of its own token into the user's session, which takes
# the SeTcbPrivilege that LocalSystem holds and an administrator does not.
Write-Host "== wine_console_run_tests against $env:ORVELLA_EXE, as LocalSystem"
if ((Invoke-AsSystem (Join-Path $tests 'wine_console_run_tests.exe')) -ne 0) { $failed += 'wine_console_run_tests' }

# True when someone other than SYSTEM, Administrators, TrustedInstaller or the
# creator-owner placeholder may create, change or delete the object, or change its
# permissions or owner. Rules are read by SID, so an account that has no name here
# cannot stop the check; generic rights count as what they grant.
function Test-OthersMayWrite([string] $path) {
    $trusted = 'S-1-5-18', 'S-1-5-32-544', 'S-1-3-0',
        'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464'
    # Add file or subfolder, append, write data and attributes, delete, delete a child,
    # WRITE_DAC, WRITE_OWNER, GENERIC_ALL and GENERIC_WRITE.
    $writes = 0x2 -bor 0x4 -bor 0x100 -bor 0x10 -bor 0x40 -bor 0x10000 -bor 0x40000 -bor 0x80000 -bor 0x50000000
    $acl = Get-Acl -LiteralPath $path
    foreach ($rule in $acl.GetAccessRules($true, $true, [Security.Principal.SecurityIdentifier])) {
        if ($rule.AccessControlType -ne 'Allow') { continue }
        if ($trusted -notcontains $rule.IdentityReference.Value -and ([int64]$rule.FileSystemRights -band $writes)) {
            return $true
        }
    }
    return $false
}

if ($Packages -ne '') {
    Write-Host "== wine_msi_tests with the packages in $Packages"
    $env:ORVELLA_PACKAGES = (Resolve-Path $Packages).Path
    $env:ORVELLA_SOURCE = (Resolve-Path (Join-Path $PSScriptRoot '..')).Path
    # The package's steps run, as SYSTEM, the copy of the exe that Windows Installer takes
    # out of the Binary table: a watcher notes every program that runs one of the modes
    # and is neither the exe under test nor an installed one, so its folder can be judged.
    $stop = Join-Path $scratch 'orvella-watch.stop'
    Remove-Item -Force -ErrorAction SilentlyContinue $stop
    $watch = Start-Job -ArgumentList $stop, $env:ORVELLA_EXE -ScriptBlock {
        param($stop, $exe)
        $ErrorActionPreference = 'SilentlyContinue'
        $seen = @{}
        while (-not (Test-Path $stop)) {
            Get-CimInstance Win32_Process -Filter "CommandLine LIKE '%--install-service%' OR CommandLine LIKE '%--prepare-update%' OR CommandLine LIKE '%--remove-service%'" |
                Where-Object { $_.ExecutablePath -and $_.ExecutablePath -ne $exe -and
                               (Split-Path -Leaf $_.ExecutablePath) -ne 'OrvellaService.exe' } |
                ForEach-Object { $seen[$_.ExecutablePath] = $true }
            Start-Sleep -Milliseconds 50
        }
        $seen.Keys
    }
    & (Join-Path $tests 'wine_msi_tests.exe')
    if ($LASTEXITCODE -ne 0) { $failed += 'wine_msi_tests' }
    New-Item -ItemType File -Force -Path $stop | Out-Null
    $copies = @(Receive-Job -Wait -AutoRemoveJob $watch -ErrorAction SilentlyContinue)
    if ($copies.Count -eq 0) {
        Write-Host 'the watcher saw no copy of the exe run by the package'
        $failed += 'the package copy of the exe'
    }
    foreach ($copy in $copies) {
        $folder = Split-Path -Parent $copy
        Write-Host "the package runs its copy of the exe as $copy"
        icacls $folder | Write-Host
        # The copy may be gone by now; its folder is what decides who could swap it.
        foreach ($path in @($folder) + @($copy | Where-Object { Test-Path -LiteralPath $_ })) {
            if (Test-OthersMayWrite $path) {
                Write-Host "users other than administrators may write $path"
                $failed += "the package copy at $path"
            }
        }
    }
}

if ($failed.Count -gt 0) {
    Write-Host "FAILED: $($failed -join ', ')"
    exit 1
}
Write-Host 'all Windows test programs passed'
