#!/usr/bin/env bash
# The main job on a fresh machine: builds velUPD, starts the SQL Server stand-in with a common
# and a cloud database, publishes demo releases in the cloud, runs velUPD twice and shows what
# happened. Everything it makes lies in demo-run/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

top=$PWD
run=$top/demo-run
rm -rf "$run"
mkdir -p "$run/site" "$run/db" "$run/archives"
cp build/app/velUPD "$run/site/"
user=velupd
password='Demo;Pass1'

# The releases: the two database upgrade programs (one packed with Deflate64) and a report designer.
for name in velDBCommon velDBVelmora; do
  mkdir -p "$run/archives/$name"
  cp sql/demo/upgrade-program.sh "$run/archives/$name/$name.exe"
  chmod +x "$run/archives/$name/$name.exe"
  echo "Release notes of $name 2.4.1" > "$run/archives/$name/README.txt"
done
(cd "$run/archives/velDBCommon" && zip -q -X ../velDBCommon.zip velDBCommon.exe README.txt)
(cd "$run/archives/velDBVelmora" && 7zz a -bd -bso0 -tzip -mm=Deflate64 ../velDBVelmora.zip velDBVelmora.exe README.txt)
mkdir -p "$run/archives/velReports/templates"
seq 1 20000 | sed 's/^/report line /' > "$run/archives/velReports/templates/sample.txt"
(cd "$run/archives/velReports" && zip -q -r -X ../velReports.zip templates)

hex() { od -An -v -tx1 "$1" | tr -d ' \n'; }
release() {  # name version description archive
  echo "INSERT INTO [vcSysProgRelease] ([Suite], [ProgName], [Description], [Version], [Critical], [MinDBVersion], [Notes], [RARFile])"
  echo "VALUES ('VELMORA', '$1', '$3', '$2', 'N', '2.0', 'Published by the demo', 0x$(hex "$4"));"
}
{
  release velDBCommon 2.4.1 'Common database upgrade' "$run/archives/velDBCommon.zip"
  release velDBVelmora 2.4.1 'Suite database upgrade' "$run/archives/velDBVelmora.zip"
  release velReports 1.2 'Report designer' "$run/archives/velReports.zip"
  release velTools 3.0 'Tool box' "$run/archives/velReports.zip"
} > "$run/cloud.sql"

# The stand-in on the first free port from 14330; the cloud settings row names that port.
standin_pid=""
cleanup() { [ -z "$standin_pid" ] || kill "$standin_pid" 2>/dev/null || true; }
trap cleanup EXIT
port=""
for p in $(seq 14330 14429); do
  cat > "$run/control.sql" <<SQL
INSERT INTO [vcControl] ([Suite], [Code], [DBConnector], [Details], [DBUser], [DBPswd])
VALUES ('VELMORA', 'CLOUDSVR', 'SQLOLEDB.1', '127.0.0.1,$p', '$user', '$password');
SQL
  rm -rf "$run/db"/*
  build/tools/standin/tds-standin --port "$p" --data "$run/db" --user "$user:$password" \
    --seed VelCommon=sql/schema.sql --seed VelCommon=sql/demo/common.sql --seed "VelCommon=$run/control.sql" \
    --seed VelmoraControl=sql/schema.sql --seed "VelmoraControl=$run/cloud.sql" \
    --statement-log "$run/statements.log" > "$run/standin.out" 2> "$run/standin.err" &
  standin_pid=$!
  for _ in $(seq 1 50); do
    grep -q '^listening on' "$run/standin.out" 2>/dev/null && break
    kill -0 "$standin_pid" 2>/dev/null || break
    sleep 0.1
  done
  if grep -q '^listening on' "$run/standin.out" 2>/dev/null; then port=$p; break; fi
  wait "$standin_pid" 2>/dev/null || true
  standin_pid=""
done
[ -n "$port" ] || { echo "no free port for the stand-in"; cat "$run/standin.err"; exit 1; }
echo "SQL Server stand-in: $(head -1 "$run/standin.out")"

cat > "$run/site/VELMORA.INI" <<INI
[Common]
Connector=SQLOLEDB.1
Host=127.0.0.1,$port
DBName=VelCommon
User=$user
Pswd=$password
INI

[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then  # Qt wants one; a root shell or a container may have none
  export XDG_RUNTIME_DIR=$run/runtime
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
query() {  # database statement
  printf '%s\ngo\n' "$2" | tsql -H 127.0.0.1 -p "$port" -U "$user" -P "$password" -D "$1" 2>/dev/null \
    | sed -e 's/^\([0-9]*> \)*//' -e '/^[0-9]*> *$/d' -e '/^locale\|^using default\|^Setting /d'
}

echo
echo "== Common database before the run"
query VelCommon "SELECT ProgName, Version, UploadDate, UploadTime, DATALENGTH(RARFile) AS ArchiveBytes FROM vcSysProgRelease ORDER BY ProgName"
echo
echo "== First run of velUPD (the suite's upgrade starts 30 s after the common one)"
start=$(date +%s)
(cd "$run/site" && ./velUPD) 2>&1 | grep '^\[' | tee "$run/first-run.log"
echo "velUPD ended after $(( $(date +%s) - start )) s"
sleep 1
echo
echo "== Common database after the run"
query VelCommon "SELECT ProgName, Version, UploadDate, UploadTime, DATALENGTH(RARFile) AS ArchiveBytes FROM vcSysProgRelease ORDER BY ProgName"
echo
echo "== Upgrades folder"
(cd "$run/site/Upgrades" && find . -type f | sort | xargs ls -l)
echo
echo "== Reports of the started upgrade programs"
cat "$run/site/Upgrades/"*-report.txt
echo
echo "== Second run of velUPD"
(cd "$run/site" && ./velUPD) 2>&1 | grep '^\[' | tee "$run/second-run.log"
echo
echo "Everything is in demo-run/: the site folder, the databases, the stand-in's statement log."
