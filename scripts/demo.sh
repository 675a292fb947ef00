#!/usr/bin/env bash
# Shows the whole system through SQL on a throwaway server: settings, thumbnails, mail.
# Usage: scripts/demo.sh [BUILD_DIR]   (make demo runs it after deps and build)
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
out="$build/demo"
work=$(mktemp -d /tmp/quarn-demo-XXXXXX)
data="$work/data"
sock="$work/mysqld.sock"
server_pid=""
smtp_pid=""
step="starting"
finished=""

say() { printf '\n==> %s\n' "$*"; step="$*"; }

cleanup() {
  local status=$?
  if [[ -n "$server_pid" ]] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$server_pid" 2>/dev/null || true
  fi
  if [[ -n "$smtp_pid" ]]; then kill "$smtp_pid" 2>/dev/null || true; wait "$smtp_pid" 2>/dev/null || true; fi
  [[ -f "$work/error.log" ]] && cp "$work/error.log" "$out/server-error.log" 2>/dev/null || true
  rm -rf "$work"
  if [[ $status -eq 0 && -n "$finished" ]]; then
    printf '\n==> Demo finished; everything it started is stopped. Outputs are in %s:\n' "$out"
    printf '    thumbnails/       the JPEG thumbnails\n'
    printf '    mailbox.txt       the messages the SMTP server received\n'
    printf '    server-error.log  the server log (failures of tarvik and velmar appear here)\n'
  fi
  if [[ $status -ne 0 ]]; then
    printf '\n!! demo failed during: %s (exit %d)\n' "$step" "$status" >&2
    [[ -f "$out/server-error.log" ]] && printf '!! server log: %s\n' "$out/server-error.log" >&2
  fi
  exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

sql() { mariadb --no-defaults -S "$sock" -uroot --table "$@"; }

for plugin in tarvik velmar ostrel; do
  [[ -f "$build/plugins/$plugin.so" ]] || { echo "missing $build/plugins/$plugin.so: run make build" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out/thumbnails" "$work/images"

say "Creating a throwaway MariaDB data directory in $data"
user_opt=()
[[ $(id -u) -eq 0 ]] && user_opt=(--user=root)
mariadb-install-db --no-defaults --datadir="$data" --auth-root-authentication-method=normal \
  --skip-test-db --tmpdir="$work" "${user_opt[@]}" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; exit 1; }

say "Starting mariadbd (socket only, no network port, plugin dir $build/plugins)"
mariadbd --no-defaults --datadir="$data" --socket="$sock" --skip-networking --tmpdir="$work" \
  --plugin-dir="$build/plugins" --log-error="$work/error.log" --pid-file="$work/mysqld.pid" \
  --innodb-buffer-pool-size=32M --max-allowed-packet=64M "${user_opt[@]}" >"$work/mariadbd.out" 2>&1 &
server_pid=$!
for _ in $(seq 1 300); do
  mariadb-admin --no-defaults -S "$sock" -uroot ping >/dev/null 2>&1 && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/error.log" >&2; exit 1; }
  sleep 0.1
done
mariadb-admin --no-defaults -S "$sock" -uroot ping >/dev/null

say "Registering the functions with sql/install.sql"
sql <"$top/sql/install.sql"
sql -e "SELECT name, ret, dl FROM mysql.func ORDER BY name"

say "Making a CA and a certificate for 127.0.0.1 signed by it (openssl)"
mkdir -p "$work/tls"
"$top/tests/support/make_test_certs.sh" "$work/tls"
openssl x509 -in "$work/tls/good.pem" -noout -subject -issuer -ext subjectAltName

say "Starting a local SMTP server on 127.0.0.1 (the tests' tests/support/smtp_server.py, STARTTLS required before AUTH LOGIN as demo)"
mkdir -p "$work/smtp"
# Talked to over its standard input and output: it prints its port, takes
# its behaviour as a JSON line, and stores each message before its reply.
coproc SMTP { exec /usr/bin/python3 "$top/tests/support/smtp_server.py" --dir "$work/smtp" \
  --user demo --password 'demo-secret' --tls-dir "$work/tls" --mailbox "$out/mailbox.txt" \
  --lifetime 3600 2>"$work/smtp.err"; }
smtp_pid=$SMTP_PID
read -r -t 30 -u "${SMTP[0]}" _ port || { cat "$work/smtp.err" >&2; exit 1; }
# A submission server: STARTTLS before AUTH; one mailbox that does not exist.
echo '{"starttls": true, "reply": {"RCPT nobody@example.test": "550 5.1.1 <nobody@example.test>: Recipient address rejected: User unknown"}}' >&"${SMTP[1]}"
read -r -t 10 -u "${SMTP[0]}" answer && [[ "$answer" == ok ]] || { cat "$work/smtp.err" >&2; exit 1; }

say "Writing quarn_udf.ini into the server's working directory ($data)"
settings() {  # settings EXTRA_EMAIL_LINES
  cat <<INI
; quarn-udf settings for the demo
[thumbnail]
image-directory = $out/thumbnails

[email]
smtp-host = 127.0.0.1
smtp-port = $port
smtp-user = demo
smtp-password = demo-secret
smtp-timeout = 10
smtp-security = starttls
$1

[general]
error-log = udf_error.log
INI
}
settings "smtp-ca-file = $work/tls/ca.pem" >"$data/quarn_udf.ini"
cat "$data/quarn_udf.ini"

say "Publishing the settings with udf_loadini() and showing them with udf_getenvvar()"
sql -e "SELECT udf_loadini() AS loaded;
SELECT name, udf_getenvvar(name) AS value FROM (
  SELECT 'UDF_IMAGEDIR' AS name UNION ALL SELECT 'UDF_SMTPHOST' UNION ALL SELECT 'UDF_SMTPUSER'
  UNION ALL SELECT 'UDF_SMTPPASSWORD' UNION ALL SELECT 'UDF_SMTPPORT' UNION ALL SELECT 'UDF_SMTPTIMEOUT'
  UNION ALL SELECT 'UDF_SMTPSECURITY' UNION ALL SELECT 'UDF_SMTPCAFILE'
  UNION ALL SELECT 'UDF_ERRORLOG') AS settings;"

say "Generating images and storing them in a table"
"$build/bench/make_image" 1600 1200 "$work/images/landscape.png"
"$build/bench/make_image" 600 900 "$work/images/portrait.jpg"
"$build/bench/make_image" 64 48 "$work/images/icon.bmp"
sql -e "CREATE DATABASE demo; CREATE TABLE demo.images (
  id INT AUTO_INCREMENT PRIMARY KEY, name VARCHAR(100), img LONGBLOB);"
for f in landscape.png portrait.jpg icon.bmp; do
  printf "INSERT INTO demo.images (name, img) VALUES ('%s', X'%s');\n" \
    "$f" "$(od -An -v -tx1 "$work/images/$f" | tr -d ' \n')" >"$work/insert.sql"
  sql <"$work/insert.sql"
done
sql -e "SELECT id, name, LENGTH(img) AS bytes FROM demo.images"

say "Making 200x200 thumbnails with tarvik(img, name, 200, 200)"
sql -e "SELECT name, tarvik(img, name, 200, 200) AS result FROM demo.images ORDER BY id"
say "Thumbnails written (real dimensions read back from the files)"
for f in "$out"/thumbnails/*.jpg; do
  printf '  %-40s %s\n' "$(basename "$f")" "$("$build/bench/make_image" --size "$f")"
done
sql -e "SELECT tarvik('not an image', 'broken.png', 200, 200) AS a_failure_is_a_text"

say "Sending a plain message to two recipients and an HTML message with velmar(), over STARTTLS"
sql -e "SELECT velmar('dba@example.test, \"Ops, Night Shift\" <ops@example.test>',
  'Quarn Jobs <quarn@example.test>', 'Plain hello from SQL – grüße ✓',
  'Thumbnails are ready.\n.a line starting with a dot\nUmlauts (äöü) go quoted-printable.\n', 0) AS plain_text;
SELECT velmar('dba@example.test', 'quarn@example.test', 'HTML hello from SQL',
  '<p>Thumbnails are <b>ready</b>.</p>') AS html;"
say "A recipient the SMTP server refuses: no OK, nothing sent, the reason in the server log"
sql -e "SELECT velmar('dba@example.test, nobody@example.test', 'quarn@example.test',
  'Never sent', 'One refused recipient stops the whole message.', 0) AS refused_recipient;"
grep -o 'RCPT TO:<nobody@example.test> refused: .*' "$work/error.log" | tail -n 1
say "A certificate velmar cannot verify: without smtp-ca-file only the system's trust store counts, which does not know the demo's CA"
settings "" >"$data/quarn_udf.ini"
sql -e "SELECT udf_loadini(TRUE) AS reloaded, udf_getenvvar('UDF_SMTPCAFILE') AS ca_file;
SELECT velmar('dba@example.test', 'quarn@example.test', 'Never sent',
  'The server could be anyone.', 0) AS unverifiable_certificate;"
grep -o 'STARTTLS handshake: .*' "$work/error.log" | tail -n 1
say "What the SMTP server received ($out/mailbox.txt), and what a mail reader shows"
cat "$out/mailbox.txt"
[[ $(grep -c '^----- message' "$out/mailbox.txt") -eq 2 ]] || { echo "expected 2 messages" >&2; exit 1; }

say "What monitoring reads: the status functions' JSON, through JSON_VALUE"
sql -e "SELECT JSON_VALUE(tarvik_status(), '\$.version') AS version,
  JSON_VALUE(tarvik_status(), '\$.written') AS thumbnails_written,
  JSON_VALUE(tarvik_status(), '\$.failed') AS thumbnails_failed,
  JSON_VALUE(velmar_status(), '\$.sent') AS mails_sent,
  JSON_VALUE(velmar_status(), '\$.failed') AS mails_failed,
  JSON_VALUE(udf_settings(), '\$.result') AS settings;"

say "Unregistering the functions with sql/uninstall.sql and stopping everything"
sql <"$top/sql/uninstall.sql"
finished=1
