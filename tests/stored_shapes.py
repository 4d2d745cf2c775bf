"""The stored shape of version 3 made from a table of today's (version 2),
for the readers' tests and benchmark until the writer makes it: `<t>_series`
with an id per description, `<t>_rows` naming its series by that id, time
in microseconds since the epoch in SQLite, mtime and value NULL where they
are derivable, and `<t>` a view of today's columns and texts."""

TEXTS = ("tsname", "btype", "units", "comment", "origin")
FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json", "first_written",
          "last_written")


def to_version_3(kind, sql, table):
    """Rewrites the tables of `table` (`kind` "sqlite" or "postgres"; `sql`
    runs a statement) in place."""
    t = table
    same = " AND ".join(f"s.{c} = p.{c}" for c in TEXTS)
    fields = ", ".join(FIELDS)
    if kind == "sqlite":
        us = "CAST(strftime('%s', substr(p.time, 1, 19)) AS INTEGER) * 1000000 + CAST(substr(p.time, 21, 6) AS INTEGER)"
        seconds = "strftime('%Y-%m-%dT%H:%M:%S', r.time / 1000000 - (r.time % 1000000 < 0), 'unixepoch')"
        fraction = "(r.time % 1000000 + 1000000) % 1000000"
        statements = [
            f"CREATE TABLE {t}_series_v3 (id INTEGER PRIMARY KEY, "
            + ", ".join(f"{c} TEXT NOT NULL" for c in FIELDS)
            + ", UNIQUE (tsname, tsid, btype, units, origin, serial, role, comment, json))",
            f"INSERT INTO {t}_series_v3 ({fields}) SELECT {fields} FROM {t}_series",
            # Rows of texts that no description has get one of their own.
            f"INSERT INTO {t}_series_v3 ({fields}) SELECT DISTINCT '', tsname, btype, units, origin, '', '', "
            f"comment, '', '', '' FROM {t} p WHERE NOT EXISTS (SELECT 1 FROM {t}_series_v3 s WHERE {same})",
            f"CREATE TABLE {t}_rows (id INTEGER PRIMARY KEY, series INTEGER NOT NULL, time INTEGER, number REAL, "
            "mtime TEXT, value TEXT)",
            f"INSERT INTO {t}_rows SELECT p.id, (SELECT min(s.id) FROM {t}_series_v3 s WHERE {same}), {us}, p.number, "
            "CASE WHEN p.mtime = substr(p.time, 1, 26) || '+00:00' THEN NULL ELSE p.mtime END, "
            f"CASE WHEN p.value = CAST(p.number AS TEXT) THEN NULL ELSE p.value END FROM {t} p",
            f"CREATE INDEX {t}_rows_series_time ON {t}_rows (series, time)",
            f"DROP TABLE {t}", f"DROP TABLE {t}_series", f"ALTER TABLE {t}_series_v3 RENAME TO {t}_series",
            f"CREATE VIEW {t} AS SELECT r.id, coalesce(r.mtime, {seconds} || printf('.%06d+00:00', {fraction})) AS mtime, "
            "s.tsname, coalesce(r.value, CAST(r.number AS TEXT)) AS value, s.btype, s.units, s.comment, s.origin, "
            f"CASE WHEN r.time IS NOT NULL THEN {seconds} || printf('.%06dZ', {fraction}) END AS time, r.number "
            f"FROM {t}_rows r JOIN {t}_series s ON s.id = r.series",
            f"UPDATE {t}_schema SET version = 3"]
    else:
        stamp = "to_char(r.time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US')"
        statements = [
            f"CREATE TABLE {t}_series_v3 (id bigint GENERATED ALWAYS AS IDENTITY UNIQUE, key text PRIMARY KEY, "
            + ", ".join(f"{c} text NOT NULL" for c in FIELDS[:9])
            + ", first_written timestamptz NOT NULL, last_written timestamptz NOT NULL)",
            f"INSERT INTO {t}_series_v3 (key, {fields}) SELECT key, {fields} FROM {t}_series ORDER BY tsid",
            f"INSERT INTO {t}_series_v3 (key, {fields}) SELECT DISTINCT md5(concat_ws('|', {', '.join(TEXTS)})), '', "
            f"tsname, btype, units, origin, '', '', comment, '', now(), now() FROM {t} p "
            f"WHERE NOT EXISTS (SELECT 1 FROM {t}_series_v3 s WHERE {same}) ON CONFLICT DO NOTHING",
            f"CREATE TABLE {t}_rows (id bigint GENERATED ALWAYS AS IDENTITY, series bigint NOT NULL, "
            "time timestamptz, number double precision, mtime text, value text)",
            f"INSERT INTO {t}_rows (id, series, time, number, mtime, value) OVERRIDING SYSTEM VALUE "
            f"SELECT p.id, (SELECT min(s.id) FROM {t}_series_v3 s WHERE {same}), p.time, p.number, "
            f"CASE WHEN p.mtime = {stamp.replace('r.time', 'p.time')} || '+00:00' THEN NULL ELSE p.mtime END, "
            f"CASE WHEN p.value = p.number::text THEN NULL ELSE p.value END FROM {t} p",
            f"CREATE INDEX ON {t}_rows (series, time)",
            f"DROP TABLE {t}", f"DROP TABLE {t}_series", f"ALTER TABLE {t}_series_v3 RENAME TO {t}_series",
            f"CREATE VIEW {t} AS SELECT r.id, coalesce(r.mtime, {stamp} || '+00:00') AS mtime, s.tsname, "
            "coalesce(r.value, r.number::text) AS value, s.btype, s.units, s.comment, s.origin, r.time, r.number "
            f"FROM {t}_rows r JOIN {t}_series s ON s.id = r.series",
            f"UPDATE {t}_schema SET version = 3"]
    for statement in statements:
        sql(statement)
