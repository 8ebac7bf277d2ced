#!/bin/bash
# Makes the zip for Windows users: Quorvane.exe, the English satellite in
# en\, and a read-me in Traditional Chinese and English (UTF-8 with BOM,
# CR LF line ends, so that Notepad shows it right).
#
# Usage: package.sh <Quorvane.exe> <English Quorvane.exe.mui> <output .zip>
# The CMake target package_zip of the windows build runs it.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 <Quorvane.exe> <English Quorvane.exe.mui> <output .zip>" >&2
    exit 2
fi
exe=$1
satellite=$2
output=$(realpath -m "$3")
for file in "$exe" "$satellite"; do
    [ -f "$file" ] || { echo "package: missing $file" >&2; exit 1; }
done
command -v zip >/dev/null || { echo "package: zip is not installed" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir "$stage/en"
cp "$exe" "$stage/Quorvane.exe"
cp "$satellite" "$stage/en/Quorvane.exe.mui"

{
    printf '\xEF\xBB\xBF'
    sed 's/$/\r/' <<'README'
Quorvane 1.0 版本
==================

Quorvane 依字串篩選文字檔的行列：含有該字串的行列寫入一個匯出檔，
不含該字串的行列寫入另一個匯出檔。匯出檔的路徑留空時，直接寫回來源檔案。

系統需求：64 位元的 Windows Vista 或以上版本。不需安裝，也不保存任何設定。

使用方法
1. 執行 Quorvane.exe。
2. 輸入行列所包含的字串，按「瀏覽」選擇來源檔案（也可以把檔案拖放到路徑欄）。
3. 勾選要產生的匯出檔，並按「瀏覽」選擇其路徑。勾選「寫入到匯出檔…檔尾」時，
   行列會加在該匯出檔的檔尾；否則匯出檔會被改寫。
4. 按「移除行列」或 Enter 鍵。完成後不會顯示任何訊息。

注意：匯出檔的路徑留空時，來源檔案本身會被改寫。請先備份重要的檔案。

英文介面
en 資料夾內的 Quorvane.exe.mui 是英文介面。如要使用英文，請把它複製到
Quorvane.exe 的旁邊（同一個資料夾）。刪除該檔案即回復中文介面。


Quorvane 1.0
============

Quorvane filters a text file by lines: the lines that contain a given text
go to one export file, the other lines to another. An export whose path is
left empty writes to the source file itself.

Requirements: 64-bit Windows Vista or later. Nothing to install; no
settings are stored.

How to use
1. Run Quorvane.exe.
2. Type the text the lines contain and choose the source file with Browse
   (or drop the file on the path field).
3. Tick the exports you want and choose their paths with Browse. With an
   "append" box ticked, the lines are added to the end of that export;
   otherwise the export is rewritten.
4. Press "Strip lines" or Enter. No message is shown when the run is done.

Note: with an export path left empty, the source file itself is rewritten.
Keep a copy of important files.

English interface
The file en\Quorvane.exe.mui holds the English interface. To use English,
copy it next to Quorvane.exe (into the same folder). Delete it there to
return to the Chinese interface.
README
} >"$stage/README.txt"

rm -f "$output"
(cd "$stage" && zip -q -X -r "$output" Quorvane.exe README.txt en)
echo "package: $output"
