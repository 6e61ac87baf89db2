#!/usr/bin/env bash
# The whole lookup in the real window under Wine + Xvfb: a sample distribution
# page served on 127.0.0.1, "获取" clicked from gui_driver.exe, the rows read
# back, a double-click on row 2 handed to the shell, a lookup that finds nothing
# still closing with its one box. Run inside `scripts/wine-session start`.
# Usage: gui_link_extractor.sh TOBRINE_EXE DRIVER_EXE ARTIFACT_DIR
set -uo pipefail
tobrine=$1 driver=$2 artifacts=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/gui_common.sh"
gui_start lookup-opened-urls.txt

start_fixture_server

start_program

printf '1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/first.ipa\n3\thttp://dl.example.com/b1.ipa\n' \
  > "$artifacts/lookup-expected.txt"
phase fetch "$base/variant_b/" "$artifacts/lookup-expected.txt"
sleep 0.3
import -window root "$artifacts/link-extractor.png" || fail "screenshot"

phase dblclick 2
expect_opened "https://dl.example.com/first.ipa" "row 2's link reached the shell"

# The markers' rows first, then the second reading's (a link a script builds
# from a variable, attribute references, a script string, an onclick handler, a
# percent-encoded address), numbered on.
printf '1\thttp://dl.example.com/b1.ipa\n2\thttps://dl.example.com/b2.ipa\n'\
'3\thttps://dl.example.com/one-arm64.ipa\n4\thttps://dl.example.com/one-armv7.ipa\n'\
'5\thttps://dl.example.com/two.ipa?a=1&b=2\n6\thttps://dl.example.com/get?f=amp.ipa&t=x\n'\
'7\thttps://dl.example.com/icon-first.ipa\n8\thttps://dl.example.com/noext.ipa?sig=a&b\n' \
  > "$artifacts/lookup-mixed.txt"
phase fetch "$base/mixed/" "$artifacts/lookup-mixed.txt"

# A page shown to iPhones only: the second fetch, with an iPhone's agent string.
printf '1\thttps://dl.example.com/noext.ipa?sig=a&b\n' > "$artifacts/lookup-iphone.txt"
phase fetch "$base/iphone/iphone_only/" "$artifacts/lookup-iphone.txt"

# A page without any marker: no rows, the closing box all the same.
: > "$artifacts/lookup-nothing.txt"
phase fetch "$base/no-such-site/" "$artifacts/lookup-nothing.txt"

close_and_expect_status_0
exit $failed
