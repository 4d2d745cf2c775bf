#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "norv/telem/TelemException.h"
#include "postgres_internal.h"
#include "postgres_store.h"
#include "typed_fields.h"

namespace telem_pyb_log {

using namespace postgres;

std::string PostgresStore::Quoted(const std::string& identifier) const {
    char* quoted = api_.escapeIdentifier(conn_, identifier.data(), identifier.size());
    if (quoted == nullptr) {
        Fail("cannot quote the name " + identifier);
    }
    std::string text = quoted;
    api_.freemem(quoted);
    return text;
}

// What keeps `relation` from being the log table (or, with `ledger`, the
// ledger) of a recorder; empty if nothing does or it does not exist. Other
// columns are allowed if they take a default.
std::string PostgresStore::Regclass(const std::string& relation) const {
    char* literal = api_.escapeLiteral(conn_, relation.data(), relation.size());
    if (literal == nullptr) {
        Fail("cannot quote the name " + relation);
    }
    const std::string name = std::string("to_regclass(quote_ident(") + literal + "))";
    api_.freemem(literal);
    return name;
}

bool PostgresStore::Exists(const std::string& relation, std::int64_t deadline) {
    const ResultPtr found = Run("SELECT " + Regclass(relation) + " IS NOT NULL", pq::kTuplesOk, deadline);
    return std::string(api_.getvalue(found.get(), 0, 0)) == "t";
}

std::string PostgresStore::ShapeProblems(const std::string& relation, Shape shape, std::int64_t deadline) {
    const std::string name = Regclass(relation);
    const ResultPtr kind =
        Run("SELECT relkind FROM pg_class WHERE oid = " + name, pq::kTuplesOk, deadline);
    if (api_.ntuples(kind.get()) == 0) {
        return "";
    }
    const std::string relkind = api_.getvalue(kind.get(), 0, 0);
    if (relkind != "r" && relkind != "p") {
        return "it is not a table";
    }
    const ResultPtr columns = Run(
        "SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull AND NOT a.atthasdef AND "
        "a.attidentity = '' FROM pg_attribute a WHERE a.attrelid = " + name + " AND a.attnum > 0 AND "
        "NOT a.attisdropped ORDER BY a.attnum",
        pq::kTuplesOk, deadline);
    std::vector<std::pair<std::string, std::string>> wanted;
    // Added by an upgrade where they are missing.
    std::vector<std::pair<std::string, std::string>> optional;
    if (shape == Shape::kLedger) {
        wanted = {{"recorder_id", "uuid"}, {"stored", "bigint"}};
    } else if (shape == Shape::kRows) {
        wanted = {{"id", "bigint"},  {"series", "bigint"}, {"time", "timestamp with time zone"},
                  {"number", "double precision"}, {"mtime", "text"}, {"value", "text"}};
    } else {
        wanted = {{"id", "bigint"}};
        for (const char* c : kColumns) {
            wanted.emplace_back(c, "text");
        }
        optional = {{"time", "timestamp with time zone"}, {"number", "double precision"}};
    }
    std::string problems;
    const auto add = [&](const std::string& p) { problems += (problems.empty() ? "" : "; ") + p; };
    std::vector<bool> seen(wanted.size(), false);
    for (int row = 0; row < api_.ntuples(columns.get()); ++row) {
        const std::string column = api_.getvalue(columns.get(), row, 0);
        const std::string type = api_.getvalue(columns.get(), row, 1);
        const bool needs_value = std::string(api_.getvalue(columns.get(), row, 2)) == "t";
        bool ours = false;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (wanted[i].first == column) {
                ours = seen[i] = true;
                if (type != wanted[i].second) {
                    add(column + " is " + type + ", not " + wanted[i].second);
                }
            }
        }
        for (const auto& [optional_name, wanted_type] : optional) {
            if (optional_name == column) {
                ours = true;
                if (type != wanted_type) {
                    add(column + " is " + type + ", not " + wanted_type);
                }
            }
        }
        if (!ours && needs_value) {
            add(column + " needs a value that log records do not give");
        }
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!seen[i]) {
            add("there is no column " + wanted[i].first);
        }
    }
    return problems;
}

// The tables are there, of this version, with the columns of log records,
// and no upgrade is left to do: then connecting changes nothing, and takes
// no lock that another session (one that a lost host left in the middle of
// a write) may hold. Reads the catalogs and the schema table only.
bool PostgresStore::TablesReady(std::int64_t deadline) {
    const ResultPtr found =
        Run("SELECT current_setting('max_identifier_length'), " + Regclass(table_) + " IS NOT NULL AND "
                + Regclass(rows_) + " IS NOT NULL AND " + Regclass(ledger_) + " IS NOT NULL AND "
                + Regclass(series_) + " IS NOT NULL AND " + Regclass(schema_) + " IS NOT NULL AND "
                + Regclass(table_ + kIndexSuffix) + " IS NOT NULL",
            pq::kTuplesOk, deadline);
    CheckNames(std::stoul(api_.getvalue(found.get(), 0, 0)));
    copy_sql_ = "COPY " + Quoted(rows_) + " (series, time, number, mtime, value) FROM STDIN";
    if (std::string(api_.getvalue(found.get(), 0, 1)) != "t") {
        return false;
    }
    const ResultPtr schema = Run("SELECT max(version), max(unfilled_upto) FROM " + Quoted(schema_), pq::kTuplesOk,
                                 deadline);
    if (api_.getisnull(schema.get(), 0, 0) != 0 || std::stoll(api_.getvalue(schema.get(), 0, 0)) != kSchemaVersion
        || std::stoll(api_.getvalue(schema.get(), 0, 1)) != 0) {
        return false;
    }
    return ShapeProblems(rows_, Shape::kRows, deadline).empty()
           && ShapeProblems(ledger_, Shape::kLedger, deadline).empty();
}

void PostgresStore::CheckNames(std::size_t max_length) const {
    if (table_.size() > max_length) {
        throw norv::telem::TelemException(label_ + ": the table name " + table_ + " is longer than the "
                                          + std::to_string(max_length) + " bytes that PostgreSQL allows");
    }
    if (ledger_.size() > max_length) {
        throw norv::telem::TelemException(
            label_ + ": the table name " + table_ + " is too long: the name of its ledger, " + ledger_ + ", would be "
            + std::to_string(ledger_.size()) + " bytes, more than the " + std::to_string(max_length)
            + " that PostgreSQL allows (keep table names to " + std::to_string(max_length - 10) + " bytes)");
    }
}

// A name that is another log table's ledger, series, schema or rows table.
void PostgresStore::CheckNotAnothersPart(std::int64_t deadline) {
    for (const auto& [suffix_text, role] : {std::pair<const char*, const char*>{kLedgerSuffix, "ledger"},
                                            {kSeriesSuffix, "series table"},
                                            {kSchemaSuffix, "schema table"},
                                            {kRowsSuffix, "table of rows"},
                                            {kUpgradingSuffix, "table being upgraded"}}) {
        const std::size_t suffix = std::char_traits<char>::length(suffix_text);
        if (table_.size() > suffix && table_.compare(table_.size() - suffix, suffix, suffix_text) == 0) {
            const std::string owner = table_.substr(0, table_.size() - suffix);
            if (Exists(owner, deadline) && (Exists(owner + kRowsSuffix, deadline)
                                            || ShapeProblems(owner, Shape::kLog, deadline).empty())) {
                throw norv::telem::TelemException(label_ + ": the table name " + table_ + " is the name of the "
                                                  + role + " of the log table " + owner + "; choose another name");
            }
        }
    }
}

// The version of an existing table (1: one without a schema table).
long long PostgresStore::ExistingVersion(std::int64_t deadline) {
    long long version = 1;
    if (Exists(schema_, deadline)) {
        const ResultPtr found = Run("SELECT max(version) FROM " + Quoted(schema_), pq::kTuplesOk, deadline);
        if (api_.getisnull(found.get(), 0, 0) == 0) {
            version = std::stoll(api_.getvalue(found.get(), 0, 0));
        }
    }
    if (version > kSchemaVersion) {
        throw norv::telem::TelemException(
            label_ + ": the table " + table_ + " on PostgreSQL was made by a newer version of telem_pyb_log "
            "(schema " + std::to_string(version) + "; this version knows schemas up to "
            + std::to_string(kSchemaVersion) + "); record into it with that version");
    }
    return version;
}

// Creates what is missing, or upgrades what is there, under a lock that
// recorders starting at the same time share; then moves an upgrade's rows.
// The lock is the session's, taken before the transaction begins: the
// transaction then sees the catalogs as a recorder that held the lock
// before left them (its earlier lookups are not reused).
void PostgresStore::CreateTables(std::int64_t deadline) {
    try {
        Run(std::string("SELECT pg_advisory_lock(") + kCreateLock + ")", pq::kTuplesOk, deadline);
        Run("BEGIN", pq::kCommandOk, deadline);
        CheckNotAnothersPart(deadline);
        const bool existed = Exists(table_, deadline);
        const long long version = existed ? ExistingVersion(deadline) : kSchemaVersion;
        std::string problems;
        if (existed && version < kSchemaVersion) {
            problems = ShapeProblems(table_, Shape::kLog, deadline);
        } else if (existed && !Exists(rows_, deadline)) {
            problems = "there is no table " + rows_ + " of its rows";
        } else {
            problems = ShapeProblems(rows_, Shape::kRows, deadline);
        }
        if (!problems.empty()) {
            throw norv::telem::TelemException(label_ + ": the table " + table_ + " on PostgreSQL exists with other "
                                              "columns (" + problems + "); it cannot hold log records");
        }
        problems = ShapeProblems(ledger_, Shape::kLedger, deadline);
        if (!problems.empty()) {
            throw norv::telem::TelemException(label_ + ": the table " + table_ + " needs " + ledger_
                                              + " as its ledger, which exists as another table (" + problems + ")");
        }
        if (!existed) {
            CreateTable(deadline);
        } else if (version < kSchemaVersion) {
            Upgrade(version, deadline);
        }
        CreateOthers(deadline);
        Run("COMMIT", pq::kCommandOk, deadline);
        Run(std::string("SELECT pg_advisory_unlock(") + kCreateLock + ")", pq::kTuplesOk, deadline);
        MoveOldRows();
    } catch (...) {
        Drop();
        throw;
    }
}

// The view <table>: the rows with version 2's columns and texts (and, while
// an upgrade moves them, the rows not moved yet).
std::string PostgresStore::ViewSql(bool upgrading) const {
    std::string sql = "CREATE VIEW " + Quoted(table_) + " AS SELECT r.id, coalesce(r.mtime, to_char(r.time AT TIME "
                      "ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.US') || '+00:00') AS mtime, s.tsname, "
                      "coalesce(r.value, r.number::text) AS value, s.btype, s.units, s.comment, s.origin, r.time, "
                      "r.number FROM " + Quoted(rows_) + " r JOIN " + Quoted(series_) + " s ON s.id = r.series";
    if (upgrading) {
        sql += " UNION ALL SELECT id, mtime, tsname, value, btype, units, comment, origin, time, number FROM "
               + Quoted(upgrading_) + " WHERE id <= (SELECT max(unfilled_upto) FROM " + Quoted(schema_) + ")";
    }
    return sql;
}

void PostgresStore::CreateTable(std::int64_t deadline) {
    const std::string schema = Quoted(schema_);
    CreateOthers(deadline);
    Run("CREATE TABLE " + Quoted(rows_) + " (id bigint GENERATED ALWAYS AS IDENTITY, series bigint NOT NULL, "
        "time timestamptz, number double precision, mtime text, value text)",
        pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + schema + " (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
        pq::kCommandOk, deadline);
    Run("ALTER TABLE " + schema + " ADD COLUMN IF NOT EXISTS untyped_upto bigint NOT NULL DEFAULT 0",
        pq::kCommandOk, deadline);
    Run("DELETE FROM " + schema, pq::kCommandOk, deadline);
    Run("INSERT INTO " + schema + " VALUES (3, 0, 0)", pq::kCommandOk, deadline);
    Run(ViewSql(false), pq::kCommandOk, deadline);
}

// The table of an earlier version becomes <table>_upgrading, whose rows
// MoveOldRows moves to <table>_rows (keeping their ids; later rows get
// higher ones); the series table gains ids; the view takes the table's name
// and shows the rows not moved yet too. Rows that an upgrade to version 2
// had not filled yet (all of version 1's) take their typed fields from
// their texts.
void PostgresStore::Upgrade(long long version, std::int64_t deadline) {
    const std::string upgrading = Quoted(upgrading_);
    const std::string schema = Quoted(schema_);
    Run("ALTER TABLE " + Quoted(table_) + " RENAME TO " + upgrading, pq::kCommandOk, deadline);
    Run("ALTER TABLE " + upgrading + " ADD COLUMN IF NOT EXISTS time timestamptz, "
        "ADD COLUMN IF NOT EXISTS number double precision", pq::kCommandOk, deadline);
    std::string untyped = "(SELECT coalesce(max(id), 0) FROM " + upgrading + ")";
    if (version == 2) {
        untyped = "(SELECT coalesce(max(unfilled_upto), 0) FROM " + schema + ")";
    }
    const ResultPtr found = Run("SELECT (SELECT coalesce(max(id), 0) FROM " + upgrading + "), " + untyped,
                                pq::kTuplesOk, deadline);
    const std::string last = api_.getvalue(found.get(), 0, 0);
    const std::string untyped_upto = api_.getvalue(found.get(), 0, 1);
    if (Exists(series_, deadline)) {
        Run("ALTER TABLE " + Quoted(series_) + " ADD COLUMN IF NOT EXISTS id bigint GENERATED ALWAYS AS IDENTITY "
            "UNIQUE", pq::kCommandOk, deadline);
    }
    CreateOthers(deadline);
    Run("CREATE TABLE " + Quoted(rows_) + " (id bigint GENERATED ALWAYS AS IDENTITY (START WITH "
            + std::to_string(std::stoll(last) + 1) + "), series bigint NOT NULL, time timestamptz, "
            "number double precision, mtime text, value text)",
        pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + schema + " (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
        pq::kCommandOk, deadline);
    Run("ALTER TABLE " + schema + " ADD COLUMN IF NOT EXISTS untyped_upto bigint NOT NULL DEFAULT 0",
        pq::kCommandOk, deadline);
    Run("DELETE FROM " + schema, pq::kCommandOk, deadline);
    Run("INSERT INTO " + schema + " VALUES (3, " + last + ", " + untyped_upto + ")", pq::kCommandOk, deadline);
    Run(ViewSql(true), pq::kCommandOk, deadline);
    if (last == "0") {
        Finalize(deadline);  // no rows to move
        return;
    }
    // The table has no index on id (nothing read by it); the moves do.
    Run("CREATE INDEX IF NOT EXISTS " + Quoted(table_ + "_upgrade_id") + " ON " + upgrading + " (id)",
        pq::kCommandOk, deadline);
}

void PostgresStore::CreateOthers(std::int64_t deadline) {
    Run("CREATE TABLE IF NOT EXISTS " + Quoted(ledger_) + " (recorder_id uuid PRIMARY KEY, stored bigint NOT NULL)",
        pq::kCommandOk, deadline);
    Run("CREATE TABLE IF NOT EXISTS " + Quoted(series_) + " (key text PRIMARY KEY, tsid text NOT NULL, "
        "tsname text NOT NULL, btype text NOT NULL, units text NOT NULL, origin text NOT NULL, "
        "serial text NOT NULL, role text NOT NULL, comment text NOT NULL, json text NOT NULL, "
        "first_written timestamptz NOT NULL, last_written timestamptz NOT NULL, "
        "id bigint GENERATED ALWAYS AS IDENTITY UNIQUE)",
        pq::kCommandOk, deadline);
    if (Exists(rows_, deadline)) {
        Run("CREATE INDEX IF NOT EXISTS " + Quoted(table_ + kIndexSuffix) + " ON " + Quoted(rows_)
                + " (series, time)",
            pq::kCommandOk, deadline);
    }
}

// Moves the rows of an upgrade's table to <table>_rows, newest first,
// kFillRows rows a transaction (each within write_timeout); <table>_schema
// keeps the last row not moved yet, so that an upgrade that was cut off
// goes on later, in any process. The last drops the old table and makes
// the view the rows' alone (Finalize).
void PostgresStore::MoveOldRows() {
    const std::string schema = Quoted(schema_);
    const std::string upgrading = Quoted(upgrading_);
    for (;;) {
        const std::int64_t deadline = After(write_timeout_);
        Run("BEGIN", pq::kCommandOk, deadline);
        // Numbers read back exactly, whatever the server's default.
        Run("SET LOCAL extra_float_digits = 3", pq::kCommandOk, deadline);
        const ResultPtr progress =
            Run("SELECT unfilled_upto, untyped_upto FROM " + schema + " FOR UPDATE", pq::kTuplesOk, deadline);
        const bool some = api_.ntuples(progress.get()) > 0;
        const long long upto = some ? std::stoll(api_.getvalue(progress.get(), 0, 0)) : 0;
        const long long untyped = some ? std::stoll(api_.getvalue(progress.get(), 0, 1)) : 0;
        if (upto <= 0) {
            Run("COMMIT", pq::kCommandOk, deadline);
            return;
        }
        const ResultPtr rows = Run(
            "SELECT id, mtime, tsname, value, btype, units, comment, origin, to_char(time AT TIME ZONE 'UTC', "
            "'YYYY-MM-DD\"T\"HH24:MI:SS.US'), number::text FROM " + upgrading + " WHERE id <= "
                + std::to_string(upto) + " ORDER BY id DESC LIMIT " + std::to_string(kFillRows),
            pq::kTuplesOk, deadline);
        const int count = api_.ntuples(rows.get());
        long long lowest = upto + 1;
        std::unordered_map<std::string, std::string> series_of;  // five texts -> id
        std::string values;
        for (int i = 0; i < count; ++i) {
            const auto text = [&](int column) {
                return std::string_view(api_.getvalue(rows.get(), i, column));  // text holds no NUL
            };
            const char* id = api_.getvalue(rows.get(), i, 0);
            lowest = std::stoll(id);
            RowView row{text(1), text(2), text(3), text(4), text(5), text(6), text(7), {}};
            if (lowest <= untyped) {
                row.typed = TypedFromTexts(row.mtime, row.value);
            } else {
                if (api_.getisnull(rows.get(), i, 8) == 0) {
                    row.typed.has_time = ParseTime(text(8), row.typed.time);
                }
                if (api_.getisnull(rows.get(), i, 9) == 0) {
                    row.typed.has_number = NumberFromText(text(9), row.typed.number);
                }
            }
            const std::string key = WrittenSeries::FullKey(row);
            auto at = series_of.find(key);
            if (at == series_of.end()) {
                // Rows of an earlier version name no description: they take
                // the first one with their five texts, or one made of them.
                const std::string_view texts[] = {row.tsname, row.btype, row.units, row.comment, row.origin};
                const char* names[] = {"tsname", "btype", "units", "comment", "origin"};
                std::string where;
                for (int f = 0; f < 5; ++f) {
                    where += std::string(f == 0 ? "" : " AND ") + names[f] + " = " + Literal(std::string(texts[f]));
                }
                const ResultPtr known =
                    Run("SELECT min(id) FROM " + Quoted(series_) + " WHERE " + where, pq::kTuplesOk, deadline);
                std::string series_id;
                if (api_.getisnull(known.get(), 0, 0) == 0) {
                    series_id = api_.getvalue(known.get(), 0, 0);
                } else {
                    const std::string_view fields[9] = {"",  row.tsname, row.btype,   row.units, row.origin,
                                                        "", "",         row.comment, ""};
                    const ResultPtr made = Run(SeriesUpsert(fields), pq::kTuplesOk, deadline);
                    series_id = api_.getvalue(made.get(), 0, 0);
                }
                at = series_of.emplace(key, series_id).first;
            }
            values += values.empty() ? "(" : ",(";
            values += id;
            values += ",";
            values += at->second;
            values += ",";
            AppendTypedLiterals(values, row.typed);
            values += ",";
            values += StampOfTime(row.mtime, row.typed) ? std::string("NULL") : Literal(std::string(row.mtime));
            values += ",";
            values += PostgresNumberText(row.value, row.typed) ? std::string("NULL")
                                                                : Literal(std::string(row.value));
            values += ")";
        }
        if (!values.empty()) {
            Run("INSERT INTO " + Quoted(rows_) + " (id, series, time, number, mtime, value) OVERRIDING SYSTEM VALUE "
                    "VALUES " + values,
                pq::kCommandOk, deadline);
        }
        const long long next = count < kFillRows ? 0 : lowest - 1;
        Run("UPDATE " + schema + " SET unfilled_upto = " + std::to_string(next), pq::kCommandOk, deadline);
        if (next == 0) {
            // In the transaction of the last rows: a session that waited for
            // the schema's row finds nothing left, whatever its catalogs show.
            Finalize(deadline);
        }
        Run("COMMIT", pq::kCommandOk, deadline);
    }
}

// The end of an upgrade: the old table goes, the view is the rows' alone.
void PostgresStore::Finalize(std::int64_t deadline) {
    Run("DROP VIEW " + Quoted(table_), pq::kCommandOk, deadline);
    Run("DROP TABLE " + Quoted(upgrading_), pq::kCommandOk, deadline);
    Run(ViewSql(false), pq::kCommandOk, deadline);
}

// The typed fields as SQL literals: "time, number".
void PostgresStore::AppendTypedLiterals(std::string& out, const TypedFields& typed) {
    if (typed.has_time) {
        char text[kTimeTextSize];
        FormatTime(typed.time, text);
        out += "'";
        out.append(text, kTimeTextSize);
        out += "'::timestamptz,";
    } else {
        out += "NULL::timestamptz,";
    }
    if (typed.has_number) {
        out += "'";
        AppendNumberText(out, typed.number);
        out += "'::float8";
    } else {
        out += "NULL::float8";
    }
}

// The upsert of one description (its nine fields) that gives its id.
std::string PostgresStore::SeriesUpsert(const std::string_view (&fields)[9]) const {
    // The key: the nine texts, each after its length, hashed.
    std::string key, literals;
    for (const std::string_view field : fields) {
        key += std::to_string(field.size()) + ":";
        key += field;
        literals += ", " + Literal(std::string(field));
    }
    return "INSERT INTO " + Quoted(series_) + " AS s (key, tsid, tsname, btype, units, origin, serial, role, "
           "comment, json, first_written, last_written) VALUES (md5(" + Literal(key) + ")" + literals
           + ", now(), now()) ON CONFLICT (key) DO UPDATE SET last_written = EXCLUDED.last_written RETURNING id";
}

std::string PostgresStore::SeriesUpserts(const Batch& batch, std::vector<Upserted>& written) {
    written.clear();
    std::string sql;
    for (const Series* s : written_series_.Unwritten(batch)) {
        const norv::telem::TsMetadata& m = s->meta;
        const std::string_view fields[9] = {m.tsid,   m.tsname, m.btype,   m.units, m.origin,
                                            m.serial, m.role,   m.comment, m.json};
        sql += SeriesUpsert(fields) + "; ";
        written.push_back(Upserted{s, {}});
    }
    for (const auto& chunk : batch.chunks()) {
        if (!chunk->has_full_rows()) {
            continue;
        }
        chunk->ForEachEntry([&](const RowView& row, const std::shared_ptr<const Series>* series) {
            if (series != nullptr) {
                return;
            }
            std::string key = WrittenSeries::FullKey(row);
            if (written_series_.FullId(key) != 0
                || std::any_of(written.begin(), written.end(), [&](const Upserted& u) { return u.full_key == key; })) {
                return;
            }
            const std::string_view fields[9] = {"", row.tsname, row.btype, row.units, row.origin,
                                                "", "",         row.comment, ""};
            sql += SeriesUpsert(fields) + "; ";
            written.push_back(Upserted{nullptr, std::move(key)});
        });
    }
    return sql;
}

std::string PostgresStore::Literal(const std::string& text) const {
    char* quoted = api_.escapeLiteral(conn_, text.data(), text.size());
    if (quoted == nullptr) {
        Fail("cannot quote a text of the metadata");
    }
    std::string literal = quoted;
    api_.freemem(quoted);
    return literal;
}

}  // namespace telem_pyb_log
