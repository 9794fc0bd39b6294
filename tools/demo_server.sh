#!/usr/bin/env bash
# The demo on a database server: loads the demo company data into the PostgreSQL server that
# tools/with_postgres.sh started, puts a DSN file for it at the demo drive's database path, and
# opens the window on it. Usage: tools/with_postgres.sh tools/demo_server.sh BUILD_FOLDER
set -euo pipefail
build=$(cd "${1:?uso: demo_server.sh CARPETA_DE_COMPILACION}" && pwd)
: "${PGHOST:?start it through tools/with_postgres.sh}"
demo="$build/demo-server"

"$build/bin/duplivo-make-demo" "$build/demo"
rm -rf "$demo"
mkdir -p "$demo/config" "$demo/wine/dosdevices" "$demo/drive_c/Tarvex.win"
ln -s ../../drive_c "$demo/wine/dosdevices/c:"
printf '[BasesDeTarvex]\r\nTarvex=C\r\n' >"$demo/config/discos.ini"

psql -q -v ON_ERROR_STOP=1 <<'SQL'
CREATE TABLE GRANGUIA (
    Id SERIAL PRIMARY KEY,
    Empresa TEXT,
    Aplica TEXT,
    clave TEXT,
    cosa TEXT,
    Alta TEXT NOT NULL DEFAULT 'demo'
);
CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica);
SQL
sqlite3 -csv "$build/demo/drive_c/Tarvex.win/Tarvex.mdb" \
    "SELECT Empresa, Aplica, clave, cosa FROM GRANGUIA ORDER BY Id" |
    psql -q -v ON_ERROR_STOP=1 -c "\copy GRANGUIA (Empresa, Aplica, clave, cosa) FROM STDIN WITH (FORMAT csv)"
echo "GRANGUIA en PostgreSQL: $(psql -tAc 'SELECT count(*) FROM GRANGUIA') filas"

# The password is in the file: only its owner may read it.
umask 077
cat >"$demo/drive_c/Tarvex.win/Tarvex.mdb" <<DSN
[ODBC]
DRIVER=PostgreSQL Unicode
SERVER=$PGHOST
PORT=$PGPORT
DATABASE=$PGDATABASE
UID=$PGUSER
PWD=$PGPASSWORD
DSN

XDG_CONFIG_HOME="$demo/config" WINEPREFIX="$demo/wine" "$build/bin/duplivo"
