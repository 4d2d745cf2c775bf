"""The stored shape of version 2 made from a table the writer made (version
3), for the tests and the benchmark of the upgrade: `<t>` a table of each
row's seven texts with `time` (SQLite: the text "YYYY-MM-DDTHH:MM:SS.ffffffZ")
and `number`, indexed on (tsname, time); `<t>_series` the nine fields of each
description; `<t>_schema` version 2. The texts are those the view shows,
which are the texts version 2 stored."""

TEXTS = ("mtime", "tsname", "value", "btype", "units", "comment", "origin")
FIELDS = ("tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json")


def to_version_2(kind, sql, table):
    """Rewrites the tables of `table` (`kind` "sqlite" or "postgres"; `sql`
    runs a statement) in place."""
    t = table
    texts = ", ".join(TEXTS)
    fields = ", ".join(FIELDS)
    if kind == "sqlite":
        statements = [
            f"CREATE TABLE {t}_v2 (id INTEGER PRIMARY KEY, " + ", ".join(f"{c} TEXT NOT NULL" for c in TEXTS)
            + ", time TEXT, number REAL)",
            f"INSERT INTO {t}_v2 SELECT id, {texts}, time, number FROM {t} ORDER BY id",
            f"CREATE TABLE {t}_series_v2 (" + ", ".join(f"{c} TEXT NOT NULL" for c in FIELDS)
            + f", first_written TEXT NOT NULL, last_written TEXT NOT NULL, PRIMARY KEY ({fields}))",
            f"INSERT INTO {t}_series_v2 SELECT {fields}, first_written, last_written FROM {t}_series ORDER BY id",
            f"DROP VIEW {t}", f"DROP TABLE {t}_rows", f"DROP TABLE {t}_series",
            f"ALTER TABLE {t}_v2 RENAME TO {t}", f"ALTER TABLE {t}_series_v2 RENAME TO {t}_series",
            f"CREATE INDEX {t}_tsname_time ON {t} (tsname, time)",
            f"DROP TABLE {t}_schema", f"CREATE TABLE {t}_schema (version INTEGER NOT NULL, unfilled_upto INTEGER NOT NULL)",
            f"INSERT INTO {t}_schema VALUES (2, 0)"]
    else:
        key = ", ".join(f"octet_length({c}), ':', {c}" for c in FIELDS)
        statements = [
            f"CREATE TABLE {t}_v2 (id bigint GENERATED ALWAYS AS IDENTITY, "
            + ", ".join(f"{c} text NOT NULL" for c in TEXTS) + ", time timestamptz, number double precision)",
            f"INSERT INTO {t}_v2 (id, {texts}, time, number) OVERRIDING SYSTEM VALUE "
            f"SELECT id, {texts}, time, number FROM {t} ORDER BY id",
            f"SELECT setval(pg_get_serial_sequence('{t}_v2', 'id'), (SELECT coalesce(max(id), 0) + 1 FROM {t}_v2), "
            "false)",
            f"CREATE TABLE {t}_series_v2 (key text PRIMARY KEY, " + ", ".join(f"{c} text NOT NULL" for c in FIELDS)
            + ", first_written timestamptz NOT NULL, last_written timestamptz NOT NULL)",
            f"INSERT INTO {t}_series_v2 SELECT md5(concat({key})), {fields}, first_written, last_written "
            f"FROM {t}_series ORDER BY id",
            f"DROP VIEW {t}", f"DROP TABLE {t}_rows", f"DROP TABLE {t}_series",
            f"ALTER TABLE {t}_v2 RENAME TO {t}", f"ALTER TABLE {t}_series_v2 RENAME TO {t}_series",
            f"CREATE INDEX {t}_tsname_time ON {t} (tsname, time)",
            f"DROP TABLE {t}_schema", f"CREATE TABLE {t}_schema (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
            f"INSERT INTO {t}_schema VALUES (2, 0)"]
    for statement in statements:
        sql(statement)
