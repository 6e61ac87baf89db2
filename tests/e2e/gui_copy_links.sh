#!/usr/bin/env bash
# Copying links out of the real window under Wine + Xvfb: Ctrl+C on a row, and
# each item of the list's context menu (复制链接, 复制全部, 打开), with the
# clipboard read back by gui_driver.exe. Run inside `scripts/wine-session start`.
# Usage: gui_copy_links.sh TOBRINE_EXE DRIVER_EXE ARTIFACT_DIR
set -uo pipefail
tobrine=$1 driver=$2 artifacts=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/gui_common.sh"
gui_start copy-opened-urls.txt

start_program

phase rows
phase copy 2
phase menu 0 3   # 复制链接 on row 3
phase menu 1 1 key  # 复制全部, the menu asked for from the keyboard
phase menu 2 1   # 打开 on row 1: what a double-click does
expect_opened "https://dl.example/one.ipa" "打开 handed row 1's link to the shell"

close_and_expect_status_0
exit $failed
