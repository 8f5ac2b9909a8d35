"use strict";
// The report page: everything is rendered from the JSON data block that
// zrmuml writes into the page. Plain DOM and canvas, no outside assets.
(() => {

// ===== Data and small helpers =====

const data = JSON.parse(document.getElementById("zv-data").textContent);
const scenarios = data.scenarios || [];
const details = data.details || [];
const files = data.files || [];
const scripts = data.scripts || [];
const lanes = data.lanes || [];
const unitLabel = data.unit ? data.unit.label : "";

// Fields of a scenario row and of a detail line.
const SC = {NAME: 0, KEY: 1, TITLE: 2, VERDICT: 3, START: 4, END: 5, DS: 6, FS: 7,
            FILES: 8, SCRIPT: 9, DETAIL: 10, RUNS: 11};
const LN = {RDD: 0, ROD: 1, CODE: 2, TIME: 3, FIELDS: 4};
const MARK_STRIDE = 5;

const VERDICT_NAMES = ["passed", "failed", "inconclusive", "unknown", "never closed"];
const VERDICT_CLASSES = ["passed", "failed", "inconclusive", "unknown", "open"];
const VERDICT_COLOURS = ["#2e7d32", "#d32f2f", "#f2a900", "#8e44ad", "#6b7280"];
// Severity rank by verdict code (higher is worse), and the codes by rank.
const SEVERITY = [0, 4, 1, 2, 3];
const CODE_BY_RANK = [0, 2, 3, 4, 1];
const NOT_KNOWN = -1;

const fileByNumber = new Map(files.map(f => [f.n, f]));
const NUMBER = new Intl.NumberFormat("en-US", {maximumFractionDigits: 0});

function el(tag, props, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(props || {})) {
        if (value === undefined || value === null || value === false) continue;
        if (key === "class") node.className = value;
        else if (key.startsWith("on")) node.addEventListener(key.slice(2), value);
        else node.setAttribute(key, value === true ? "" : value);
    }
    node.append(...children.filter(c => c !== null && c !== undefined && c !== false));
    return node;
}

function formatNumber(n) { return NUMBER.format(n); }

function formatTime(t) {
    if (t === null || t === undefined) return "";
    return unitLabel ? `${NUMBER.format(t)} ${unitLabel}` : NUMBER.format(t);
}

function formatTimeSpan(start, end) {
    if (start === null || start === undefined) return "not timed";
    return end === null || end === undefined || end === start
        ? formatTime(start) : `${formatTime(start)} – ${formatTime(end)}`;
}

function plural(n, one, many) { return `${formatNumber(n)} ${n === 1 ? one : many}`; }

function verdictName(code) { return code === NOT_KNOWN ? "not known" : VERDICT_NAMES[code] ?? "unknown"; }
function verdictClass(code) { return code === NOT_KNOWN ? "notknown" : VERDICT_CLASSES[code] ?? "unknown"; }
function worseVerdict(a, b) { return SEVERITY[b] > SEVERITY[a] ? b : a; }

function verdictBadge(code, extra) {
    return el("span", {class: `badge ${verdictClass(code)}`, title: extra || null}, verdictName(code));
}

function fileLabel(n) {
    const file = fileByNumber.get(n);
    return file ? `#${n} ${file.name}` : `#${n}`;
}

function scriptName(index) {
    const script = scripts[index];
    return script ? script.name : "";
}

// "1-3,7" → 4
function countRanges(text) {
    let count = 0;
    for (const part of (text || "").split(",")) {
        if (!part) continue;
        const [first, last] = part.split("-").map(Number);
        count += (last ?? first) - first + 1;
    }
    return count;
}

const ROD_REASONS = {
    missing: "ROD file missing",
    changed: "ROD file changed since the merge",
    unreadable: "ROD file unreadable",
    ok: "no FS line for it in its ROD file",
};

// Why a run's own verdict is not known, as far as its file's state tells.
function unknownRunReason(fileNumber) {
    const file = fileByNumber.get(fileNumber);
    return file ? ROD_REASONS[file.rod] || `ROD file: ${file.rod}` : "";
}

function runVerdictBadge(verdict, why) {
    return verdictBadge(verdict, verdict === NOT_KNOWN ? why : null);
}

// Names can repeat under another key; the index says which.
const scenariosByName = new Map();
scenarios.forEach((s, i) => {
    const list = scenariosByName.get(s[SC.NAME]);
    if (list) list.push(i); else scenariosByName.set(s[SC.NAME], [i]);
});

function scenarioHash(i) {
    const s = scenarios[i];
    let hash = "#scenario=" + encodeURIComponent(s[SC.NAME]);
    if (scenariosByName.get(s[SC.NAME]).length > 1) hash += "&key=" + encodeURIComponent(s[SC.KEY]);
    return hash;
}

function findScenario(name, key) {
    const list = scenariosByName.get(name) || [];
    if (key === undefined) return list.length ? list[0] : -1;
    return list.find(i => scenarios[i][SC.KEY] === key) ?? -1;
}

function scenarioLink(i) {
    return el("a", {href: scenarioHash(i), class: "sc-link"}, scenarios[i][SC.NAME]);
}

function section(id, title, ...children) {
    return el("section", {id, class: "panel", "aria-labelledby": `${id}-title`},
              el("h2", {id: `${id}-title`}, title), ...children);
}

function onNextFrame(fn) {
    let pending = false;
    return () => {
        if (pending) return;
        pending = true;
        requestAnimationFrame(() => { pending = false; fn(); });
    };
}

// ===== Header =====

function renderHeader() {
    const h = data.header || {};
    const c = data.counts || {};
    const chips = [
        ["files", "files", c.files], ["scenarios", "scenarios", c.scenarios],
        ["failed", "failed", c.failed], ["inconclusive", "inconclusive", c.inconclusive],
        ["unknown", "unknown", c.unknown], ["open", "never closed", c.open],
        ["passed", "passed", c.passed], ["events", "events", c.events],
        ["rendezvous", "rendezvous", c.rendezvous], ["instances", "instances", c.instances],
    ].filter(([id, , n]) => n !== undefined && (n > 0 || id === "files" || (id === "scenarios" && !data.timeOnly)));
    return el("header", {class: "top"},
        el("h1", null, el("span", {id: "plan"}, h.plan || ""), el("span", {class: "sep"}, " · "),
           el("span", {id: "rdd-name"}, data.rdd || "")),
        el("p", {class: "meta"},
           [h.kind, h.stamp, h.version && `version ${h.version}`, data.timeOnly && "time report (-TIME)"]
               .filter(Boolean).join(" · ")),
        el("ul", {class: "counts", "aria-label": "Counts"},
           ...chips.map(([id, label, n]) =>
               el("li", {id: `count-${id}`, class: `chip ${n > 0 ? id : ""}`},
                  el("b", null, formatNumber(n)), ` ${label}`))));
}

// ===== What needs attention =====

const ATTENTION_FIRST = 10;
const ATTENTION_OPEN_GROUPS = 3;
const ATTENTION_MORE = 200;
const RUNS_LISTED = 6;

function notPassedByScript() {
    const groups = new Map();
    scenarios.forEach((s, i) => {
        if (s[SC.VERDICT] === 0) return;
        const key = s[SC.SCRIPT];
        if (!groups.has(key)) groups.set(key, []);
        groups.get(key).push(i);
    });
    const bySeverity = (a, b) => SEVERITY[scenarios[b][SC.VERDICT]] - SEVERITY[scenarios[a][SC.VERDICT]] || a - b;
    for (const list of groups.values()) list.sort(bySeverity);
    return [...groups.entries()].sort((a, b) => a[0] - b[0]);
}

function verdictChips(indexes) {
    const counts = [0, 0, 0, 0, 0];
    for (const i of indexes) counts[scenarios[i][SC.VERDICT]]++;
    return el("span", {class: "chips"}, ...[1, 4, 3, 2].filter(code => counts[code])
        .map(code => el("span", {class: `chip ${verdictClass(code)}`},
                        el("b", null, formatNumber(counts[code])), ` ${verdictName(code)}`)));
}

function failingRunsNote(s) {
    const runs = s[SC.RUNS] || [];
    if (!runs.length) return null;
    const listed = runs.slice(0, RUNS_LISTED).map(([file, verdict]) =>
        el("span", {class: "run"}, el("a", {href: `#file=${file}`}, fileLabel(file)), " ",
           runVerdictBadge(verdict, unknownRunReason(file)),
           verdict === NOT_KNOWN ? el("span", {class: "why"}, ` ${unknownRunReason(file)}`) : null));
    const more = runs.length > RUNS_LISTED ? ` and ${plural(runs.length - RUNS_LISTED, "more run", "more runs")}` : null;
    return el("span", {class: "runs-note"}, "runs not passed: ", ...listed.flatMap((node, k) => k ? ["; ", node] : [node]), more);
}

function attentionItem(i) {
    const s = scenarios[i];
    return el("li", {class: `att-item v-${verdictClass(s[SC.VERDICT])}`,
                     "data-scenario": s[SC.NAME], "data-verdict": verdictName(s[SC.VERDICT])},
        verdictBadge(s[SC.VERDICT]), " ", scenarioLink(i),
        s[SC.TITLE] ? el("span", {class: "desc"}, ` ${s[SC.TITLE]}`) : null,
        el("span", {class: "when"}, ` ${formatTimeSpan(s[SC.START], s[SC.END])}`),
        failingRunsNote(s));
}

function attentionGroup(scriptIndex, indexes, open) {
    const script = scripts[scriptIndex];
    const list = el("ul", {class: "att-list"});
    let shown = 0;
    const more = el("button", {type: "button", class: "more"});
    const showMore = count => {
        const next = indexes.slice(shown, shown + count);
        list.append(...next.map(attentionItem));
        shown += next.length;
        more.hidden = shown >= indexes.length;
        more.textContent = `show ${formatNumber(Math.min(ATTENTION_MORE, indexes.length - shown))} more of ${formatNumber(indexes.length - shown)}`;
    };
    more.addEventListener("click", () => showMore(ATTENTION_MORE));
    showMore(ATTENTION_FIRST);
    return el("details", {class: "att-group", open},
        el("summary", null, el("h3", null, script ? script.name : "(no test script)",
           script && script.title ? el("span", {class: "desc"}, ` ${script.title}`) : null,
           " ", verdictChips(indexes))),
        list, more);
}

function renderAttention() {
    if (data.timeOnly) return null;
    if (!scenarios.length) {
        return section("attention", "Needs attention", el("p", {class: "all-clear"}, "Nothing to report: the report holds no scenario."));
    }
    const groups = notPassedByScript();
    if (!groups.length) {
        return section("attention", "Needs attention",
                       el("p", {class: "all-clear"}, `Nothing to report: all ${plural(scenarios.length, "scenario", "scenarios")} passed.`));
    }
    const all = groups.flatMap(([, list]) => list);
    return section("attention", "Needs attention",
        el("p", {class: "summary"}, `${formatNumber(all.length)} of ${plural(scenarios.length, "scenario", "scenarios")} did not pass: `,
           verdictChips(all)),
        ...groups.map(([script, list], k) => attentionGroup(script, list, k < ATTENTION_OPEN_GROUPS)));
}

// ===== Virtual table: only the rows on screen are in the document =====

const ROW_H = 28;
const HEAD_H = 30;

function virtualTable({id, label, columns, renderRow, onSort}) {
    let rows = [];
    let firstRendered = -1;
    let lastRendered = -1;
    const head = el("div", {class: "vt-row vt-head", role: "row"});
    const body = el("div", {class: "vt-body", role: "rowgroup"});
    const inner = el("div", {class: "vt-inner"}, body);
    // The head scrolls with the rows (sticky) so that both share one width.
    const scroller = el("div", {class: "vt-scroll", tabindex: "0"}, head, inner);
    const root = el("div", {id, class: "vt", role: "table", "aria-label": label}, scroller);
    root.style.setProperty("--cols", columns.map(c => c.width).join(" "));

    columns.forEach((column, k) => {
        const cell = el("div", {class: "vt-cell", role: "columnheader"});
        if (onSort) {
            cell.append(el("button", {type: "button", class: "sort", onclick: () => onSort(k)}, column.title));
        } else {
            cell.textContent = column.title;
        }
        head.append(cell);
    });

    function render() {
        const viewHeight = scroller.clientHeight || 400;
        const first = Math.max(0, Math.floor(scroller.scrollTop / ROW_H) - 5);
        const last = Math.min(rows.length - 1, Math.ceil((scroller.scrollTop + viewHeight) / ROW_H) + 5);
        if (first === firstRendered && last === lastRendered) return;
        firstRendered = first;
        lastRendered = last;
        const nodes = [];
        for (let r = first; r <= last; r++) {
            const row = el("div", {class: "vt-row", role: "row", "aria-rowindex": r + 2},
                ...renderRow(rows[r]).map(content => el("div", {class: "vt-cell", role: "cell"}, content)));
            nodes.push(row);
        }
        body.style.transform = `translateY(${first * ROW_H}px)`;
        body.replaceChildren(...nodes);
    }

    scroller.addEventListener("scroll", onNextFrame(render));
    window.addEventListener("resize", onNextFrame(() => { firstRendered = -1; render(); }));

    return {
        root,
        setRows(list) {
            rows = list;
            root.setAttribute("aria-rowcount", rows.length + 1);
            inner.style.height = `${rows.length * ROW_H}px`;
            scroller.style.height = `${Math.min(Math.max(rows.length, 1), 14) * ROW_H + HEAD_H}px`;
            firstRendered = -1;
            scroller.scrollTop = 0;
            render();
        },
        setSortMark(k, direction) {
            [...head.children].forEach((cell, j) => {
                if (j === k) cell.setAttribute("aria-sort", direction > 0 ? "ascending" : "descending");
                else cell.removeAttribute("aria-sort");
            });
        },
        refresh() { firstRendered = -1; render(); },
    };
}

// ===== Scenario table =====

function compareValues(a, b) {
    if (a === b) return 0;
    if (a === null || a === undefined) return 1;
    if (b === null || b === undefined) return -1;
    return a < b ? -1 : 1;
}

function scenarioColumns() {
    return [
        {title: "Name", width: "minmax(9rem, 1.3fr)", value: i => scenarios[i][SC.NAME]},
        {title: "Key", width: "4rem", value: i => scenarios[i][SC.KEY]},
        {title: "Description", width: "minmax(10rem, 2fr)", value: i => scenarios[i][SC.TITLE]},
        {title: "Verdict", width: "7.5rem", value: i => -SEVERITY[scenarios[i][SC.VERDICT]]},
        {title: "Start", width: "9.5rem", value: i => scenarios[i][SC.START]},
        {title: "End", width: "9.5rem", value: i => scenarios[i][SC.END]},
        {title: "Runs", width: "4.5rem", value: i => countRanges(scenarios[i][SC.FILES])},
        {title: "Script", width: "minmax(6rem, 1fr)", value: i => scriptName(scenarios[i][SC.SCRIPT])},
        {title: "RDD line", width: "6rem", value: i => scenarios[i][SC.DS]},
    ];
}

function scenarioRowCells(i) {
    const s = scenarios[i];
    return [scenarioLink(i), s[SC.KEY], s[SC.TITLE], verdictBadge(s[SC.VERDICT]),
            formatTime(s[SC.START]), formatTime(s[SC.END]), formatNumber(countRanges(s[SC.FILES])),
            scriptName(s[SC.SCRIPT]), formatNumber(s[SC.DS])];
}

function matchesVerdict(filter, code) {
    if (filter === "all") return true;
    if (filter === "notpassed") return code !== 0;
    return code === Number(filter);
}

function renderScenarioTable() {
    if (data.timeOnly || !scenarios.length) return null;
    const columns = scenarioColumns();
    const sort = {column: -1, direction: 1};
    let haystack = null;   // lower-cased name and description, built at the first search
    const shownCount = el("span", {class: "count", "aria-live": "polite"});
    const search = el("input", {type: "search", id: "sc-search", placeholder: "name or description",
                                autocomplete: "off"});
    const verdict = el("select", {id: "sc-verdict"},
        el("option", {value: "all"}, "all verdicts"),
        el("option", {value: "notpassed"}, "not passed"),
        ...[1, 2, 3, 4, 0].map(code => el("option", {value: String(code)}, verdictName(code))));
    const table = virtualTable({id: "sc-table", label: "Scenarios", columns, renderRow: scenarioRowCells,
                                onSort: k => { sort.direction = sort.column === k ? -sort.direction : 1; sort.column = k; apply(); }});

    function apply() {
        const needle = search.value.trim().toLowerCase();
        if (needle && !haystack) haystack = scenarios.map(s => `${s[SC.NAME]}\n${s[SC.TITLE]}`.toLowerCase());
        const filter = verdict.value;
        const rows = [];
        for (let i = 0; i < scenarios.length; i++) {
            if (!matchesVerdict(filter, scenarios[i][SC.VERDICT])) continue;
            if (needle && !haystack[i].includes(needle)) continue;
            rows.push(i);
        }
        if (sort.column >= 0) {
            const value = columns[sort.column].value;
            const keys = new Map(rows.map(i => [i, value(i)]));
            rows.sort((a, b) => sort.direction * compareValues(keys.get(a), keys.get(b)) || a - b);
            table.setSortMark(sort.column, sort.direction);
        }
        shownCount.textContent = rows.length === scenarios.length
            ? ` (${formatNumber(rows.length)})` : ` (${formatNumber(rows.length)} of ${formatNumber(scenarios.length)})`;
        table.setRows(rows);
    }

    let searchTimer = 0;
    search.addEventListener("input", () => { clearTimeout(searchTimer); searchTimer = setTimeout(apply, 120); });
    verdict.addEventListener("change", apply);
    const root = el("section", {id: "scenarios", class: "panel", "aria-labelledby": "scenarios-title"},
        el("h2", {id: "scenarios-title"}, "Scenarios", shownCount),
        el("div", {class: "controls"},
           el("label", {for: "sc-search"}, "Search "), search,
           el("label", {for: "sc-verdict"}, "Verdict "), verdict),
        table.root);
    apply();
    return {root, refresh: table.refresh};
}

// ===== Items of a -TIME report =====

// A line without a time (a check, a comment) stays behind the timed line it follows.
function inTimeOrder(items) {
    const groups = [];
    for (const item of items) {
        if (item[2] === null && groups.length) groups[groups.length - 1].push(item);
        else groups.push([item]);
    }
    groups.sort((a, b) => (a[0][2] ?? -1) - (b[0][2] ?? -1));
    return groups.flat();
}

function renderItems() {
    if (!data.timeOnly) return null;
    const items = inTimeOrder(data.items || []);
    if (!items.length) return null;
    const columns = [
        {title: "Time", width: "8rem"}, {title: "File", width: "minmax(8rem, 1fr)"},
        {title: "Code", width: "3.5rem"}, {title: "Text", width: "minmax(12rem, 3fr)"},
        {title: "RDD line", width: "6rem"},
    ];
    const table = virtualTable({id: "items-table", label: "Report lines in time order", columns,
        renderRow: k => {
            const [line, code, time, file, text] = items[k];
            return [formatTime(time), el("a", {href: `#file=${file}`}, fileLabel(file)), code, text, formatNumber(line)];
        }});
    const left = data.itemsLeft > 0
        ? el("p", {class: "note"}, `${plural(data.itemsLeft, "more line is", "more lines are")} in the report, not in the page.`) : null;
    const root = section("items", "Report lines in time order",
                         el("p", {class: "summary"}, plural(items.length, "line", "lines")), table.root, left);
    table.setRows(items.map((_, k) => k));
    return {root, refresh: table.refresh};
}

// ===== Timeline =====

const LANE_H = 30;
const LABEL_W = 240;
const AXIS_H = 30;
const MIN_SPAN = 10;
const BAND = {scTop: 3, scHeight: 13, actTop: 18, actHeight: 8, instTop: 27, instHeight: 2};
const ACTIVITY_COLOURS = ["", "rgba(40,40,60,0.35)", "rgba(40,40,60,0.55)", "rgba(40,40,60,0.75)", "rgba(20,20,40,0.95)"];
const FONT = "11px system-ui, sans-serif";
const OPENS_SCENARIO = "Click to open its scenario view";

function activityLevel(count) {
    if (count === 0) return 0;
    if (count === 1) return 1;
    if (count < 4) return 2;
    if (count < 16) return 3;
    return 4;
}

function decodeBase64(text) {
    const raw = atob(text);
    const bytes = new Uint8Array(raw.length);
    for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
    return bytes;
}

// A step of 1, 2 or 5 times a power of ten, at least `raw` and never under 1.
function niceStep(raw) {
    if (raw <= 1) return 1;
    const power = 10 ** Math.floor(Math.log10(raw));
    for (const m of [1, 2, 5, 10]) if (m * power >= raw) return m * power;
    return 10 * power;
}

function laneGroups() {
    // worst stays null for a group without scenarios (a -TIME report).
    const groups = scripts.map(s => ({title: s.name, detail: s.title, lanes: [], expanded: true, worst: null}));
    const other = {title: "(no test script)", detail: "", lanes: [], expanded: true, worst: null};
    lanes.forEach((lane, k) => {
        const file = fileByNumber.get(lane.file);
        const group = file && groups[file.script] ? groups[file.script] : other;
        group.lanes.push(k);
    });
    for (const s of scenarios) {
        const group = groups[s[SC.SCRIPT]];
        if (group) group.worst = group.worst === null ? s[SC.VERDICT] : worseVerdict(group.worst, s[SC.VERDICT]);
    }
    return [...groups, other].filter(g => g.lanes.length);
}

class Timeline {
    constructor() {
        const [r0, r1] = data.range;
        const pad = Math.max(1, (r1 - r0) * 0.01);
        this.full = [Math.max(0, r0 - pad), r1 + pad];   // times are unsigned
        this.t0 = this.full[0];
        this.t1 = this.full[1];
        this.groups = laneGroups();
        this.rows = [];
        this.highlight = -1;
        this.width = 0;
        this.height = 0;
        this.labelRange = [-1, -1];
        this.scheduleDraw = onNextFrame(() => this.draw());
        this.build();
        this.buildRows();
    }

    build() {
        this.readout = el("span", {class: "tl-range", "aria-live": "polite"});
        const button = (text, label, action) =>
            el("button", {type: "button", title: label, "aria-label": label, onclick: action}, text);
        const toolbar = el("div", {class: "tl-toolbar"},
            button("−", "Zoom out (-)", () => this.zoomAt(1.6, this.centre())),
            button("+", "Zoom in (+)", () => this.zoomAt(1 / 1.6, this.centre())),
            button("Reset", "Show the whole campaign (0)", () => this.reset()),
            this.readout,
            el("span", {class: "hint"}, "Wheel or +/− zoom · drag the axis to zoom to a range · drag or ←/→ pan"));
        this.axis = el("canvas", {class: "tl-axis", height: AXIS_H, "aria-hidden": "true"});
        this.lanesCanvas = el("canvas", {class: "tl-lanes", "aria-hidden": "true"});
        this.labels = el("div", {class: "tl-labels"});
        this.body = el("div", {class: "tl-body"}, this.labels, this.lanesCanvas);
        this.scroller = el("div", {class: "tl-scroll", tabindex: "0",
                                   "aria-label": "Timeline lanes: +/− zoom, ←/→ pan, 0 reset"}, this.body);
        this.tip = el("div", {class: "tl-tip", role: "tooltip", hidden: true});
        this.root = section("timeline", "Timeline", toolbar,
            el("div", {class: "tl-axis-row"}, el("div", {class: "tl-corner"}, unitLabel ? `time (${unitLabel})` : "time"), this.axis),
            this.scroller, this.tip);
        this.root.addEventListener("keydown", e => this.onKey(e));
        this.scroller.addEventListener("scroll", () => { this.renderLabels(); this.scheduleDraw(); });
        this.lanesCanvas.addEventListener("wheel", e => this.onWheel(e), {passive: false});
        this.axis.addEventListener("wheel", e => this.onWheel(e), {passive: false});
        this.lanesCanvas.addEventListener("pointerdown", e => this.onPanStart(e));
        this.lanesCanvas.addEventListener("pointermove", e => this.onHover(e));
        this.lanesCanvas.addEventListener("pointerleave", () => { this.tip.hidden = true; });
        this.axis.addEventListener("pointerdown", e => this.onRangeStart(e));
        window.addEventListener("resize", onNextFrame(() => this.layout()));
    }

    buildRows() {
        this.rows = [];
        this.groups.forEach((group, g) => {
            this.rows.push({group: g});
            if (group.expanded) for (const lane of group.lanes) this.rows.push({lane});
        });
        this.body.style.height = `${this.rows.length * LANE_H}px`;
        this.labelRange = [-1, -1];
    }

    layout() {
        const total = this.scroller.clientWidth;
        if (!total) return;
        this.width = Math.max(100, total - LABEL_W);
        this.height = Math.min(this.rows.length * LANE_H, Math.max(200, Math.round(window.innerHeight * 0.6)));
        this.scroller.style.height = `${Math.max(this.height, LANE_H)}px`;
        const ratio = window.devicePixelRatio || 1;
        for (const [canvas, height] of [[this.lanesCanvas, this.height], [this.axis, AXIS_H]]) {
            canvas.width = Math.round(this.width * ratio);
            canvas.height = Math.round(height * ratio);
            canvas.style.width = `${this.width}px`;
            canvas.style.height = `${height}px`;
            canvas.getContext("2d").setTransform(ratio, 0, 0, ratio, 0, 0);
        }
        this.worst = new Uint8Array(this.width);
        this.activity = new Uint16Array(this.width);
        this.instances = new Uint8Array(this.width);
        this.cells = new Uint8Array(Math.ceil(this.width / 3) + 1);
        this.labelRange = [-1, -1];
        this.renderLabels();
        this.updateReadout();
        this.draw();
    }

    // --- view ---

    centre() { return (this.t0 + this.t1) / 2; }
    scale() { return this.width / (this.t1 - this.t0); }
    timeAtX(x) { return this.t0 + x / this.scale(); }

    setView(t0, t1) {
        const fullSpan = this.full[1] - this.full[0];
        const span = Math.min(fullSpan, Math.max(MIN_SPAN, t1 - t0));
        const mid = (t0 + t1) / 2;
        let start = mid - span / 2;
        start = Math.max(this.full[0], Math.min(this.full[1] - span, start));
        this.t0 = start;
        this.t1 = start + span;
        this.updateReadout();
        this.scheduleDraw();
    }

    zoomAt(factor, t) {
        const span = Math.max(MIN_SPAN, (this.t1 - this.t0) * factor);
        const ratio = (t - this.t0) / (this.t1 - this.t0);
        const start = t - ratio * span;
        this.setView(start, start + span);
    }

    pan(fraction) {
        const shift = (this.t1 - this.t0) * fraction;
        this.setView(this.t0 + shift, this.t1 + shift);
    }

    reset() { this.setView(this.full[0], this.full[1]); }

    updateReadout() {
        this.readout.textContent = `${formatTime(Math.round(this.t0))} – ${formatTime(Math.round(this.t1))}`;
        this.root.dataset.t0 = Math.round(this.t0);
        this.root.dataset.t1 = Math.round(this.t1);
    }

    // --- input ---

    onKey(e) {
        if (e.altKey || e.ctrlKey || e.metaKey) return;
        const actions = {
            "+": () => this.zoomAt(1 / 1.6, this.centre()), "=": () => this.zoomAt(1 / 1.6, this.centre()),
            "-": () => this.zoomAt(1.6, this.centre()), "_": () => this.zoomAt(1.6, this.centre()),
            "ArrowLeft": () => this.pan(-0.2), "ArrowRight": () => this.pan(0.2), "0": () => this.reset(),
        };
        const action = actions[e.key];
        if (!action) return;
        e.preventDefault();
        action();
    }

    onWheel(e) {
        e.preventDefault();
        const x = e.offsetX;
        if (Math.abs(e.deltaX) > Math.abs(e.deltaY)) {
            this.pan(e.deltaX / this.width);
            return;
        }
        const steps = e.deltaMode === 0 ? e.deltaY / 100 : e.deltaY / 3;
        this.zoomAt(1.25 ** steps, this.timeAtX(x));
    }

    onPanStart(e) {
        if (e.button !== 0) return;
        const startX = e.clientX;
        const [t0, t1] = [this.t0, this.t1];
        let moved = false;
        this.lanesCanvas.setPointerCapture(e.pointerId);
        const move = ev => {
            const dx = ev.clientX - startX;
            if (Math.abs(dx) > 3) moved = true;
            if (!moved) return;
            const shift = dx / this.scale();
            this.setView(t0 - shift, t1 - shift);
            this.tip.hidden = true;
        };
        const up = ev => {
            this.lanesCanvas.removeEventListener("pointermove", move);
            this.lanesCanvas.removeEventListener("pointerup", up);
            if (!moved) this.openAt(ev);
        };
        this.lanesCanvas.addEventListener("pointermove", move);
        this.lanesCanvas.addEventListener("pointerup", up);
    }

    onRangeStart(e) {
        if (e.button !== 0) return;
        const startX = e.offsetX;
        this.axis.setPointerCapture(e.pointerId);
        const move = ev => this.drawAxis([startX, ev.offsetX]);
        const up = ev => {
            this.axis.removeEventListener("pointermove", move);
            this.axis.removeEventListener("pointerup", up);
            const [a, b] = [Math.min(startX, ev.offsetX), Math.max(startX, ev.offsetX)];
            if (b - a >= 4) this.setView(this.timeAtX(a), this.timeAtX(b));
            else this.drawAxis();
        };
        this.axis.addEventListener("pointermove", move);
        this.axis.addEventListener("pointerup", up);
    }

    // The lane row and time under the pointer.
    pointAt(e) {
        const row = this.rows[Math.floor((e.offsetY + this.scroller.scrollTop) / LANE_H)];
        if (!row || row.lane === undefined) return null;
        return {lane: lanes[row.lane], x: e.offsetX, yInLane: (e.offsetY + this.scroller.scrollTop) % LANE_H};
    }

    openAt(e) {
        const point = this.pointAt(e);
        if (!point || !point.lane.marks) return;
        const hit = this.hitMarks(point.lane, point.x);
        if (hit.scenario >= 0) location.hash = scenarioHash(point.lane.marks[hit.scenario + 4]).slice(1);
    }

    onHover(e) {
        if (e.buttons) return;
        const point = this.pointAt(e);
        const text = point ? this.describe(point) : "";
        this.lanesCanvas.style.cursor = text.includes(OPENS_SCENARIO) ? "pointer" : "grab";
        if (!text) { this.tip.hidden = true; return; }
        this.tip.textContent = text;
        this.tip.hidden = false;
        const left = Math.min(e.clientX + 14, window.innerWidth - this.tip.offsetWidth - 8);
        const top = e.clientY + 18 + this.tip.offsetHeight > window.innerHeight ? e.clientY - this.tip.offsetHeight - 8 : e.clientY + 18;
        this.tip.style.left = `${left}px`;
        this.tip.style.top = `${top}px`;
    }

    // --- hit testing and tooltips ---

    // Marks under column x: the worst scenario, the nearest point mark, the
    // innermost instance block (offsets into lane.marks, -1 when none).
    hitMarks(lane, x) {
        const marks = lane.marks;
        const t = this.timeAtX(x);
        const tolerance = 3 / this.scale();
        const hit = {scenario: -1, point: -1, instance: -1, count: 0};
        let pointDistance = Infinity;
        for (let i = 0; i < marks.length; i += MARK_STRIDE) {
            const [kind, start, end] = [marks[i], marks[i + 1], marks[i + 2]];
            if (end < t - tolerance || start > t + tolerance) continue;
            hit.count++;
            if (kind === 1) {
                if (hit.scenario < 0 || SEVERITY[scenarios[marks[i + 4]][SC.VERDICT]] > SEVERITY[scenarios[marks[hit.scenario + 4]][SC.VERDICT]]) hit.scenario = i;
            } else if (kind === 0) {
                if (start <= t && end >= t) hit.instance = i;
            } else if (Math.abs(start - t) < pointDistance) {
                pointDistance = Math.abs(start - t);
                hit.point = i;
            }
        }
        return hit;
    }

    describe({lane, x, yInLane}) {
        const fileText = fileLabel(lane.file);
        if (!lane.marks) return lane.binned ? this.describeBin(lane, x, fileText) : "";
        const hit = this.hitMarks(lane, x);
        const marks = lane.marks;
        const inScenarioBand = yInLane < BAND.actTop;
        const order = inScenarioBand ? [hit.scenario, hit.point, hit.instance] : [hit.point, hit.scenario, hit.instance];
        const chosen = order.find(i => i >= 0);
        if (chosen === undefined) return "";
        const [kind, start, end, line, ref] = marks.slice(chosen, chosen + MARK_STRIDE);
        const lines = [];
        if (kind === 1) {
            const s = scenarios[ref];
            lines.push(`Scenario ${s[SC.NAME]} (${verdictName(s[SC.VERDICT])})`);
            if (s[SC.TITLE]) lines.push(s[SC.TITLE]);
            lines.push(`${formatTimeSpan(start, end)} · RDD line ${formatNumber(line)}`, OPENS_SCENARIO);
        } else if (kind === 0) {
            lines.push("Instance block", `${formatTimeSpan(start, end)} · RDD line ${formatNumber(line)}`);
        } else {
            lines.push(`${kind === 2 ? "Event" : "Rendezvous"} ${data.names[ref] ?? ""}`,
                       `${formatTime(start)} · RDD line ${formatNumber(line)}`);
        }
        if (hit.count > 1) lines.push(`${plural(hit.count, "mark", "marks")} here: zoom in for each`);
        lines.push(fileText);
        return lines.join("\n");
    }

    describeBin(lane, x, fileText) {
        const {sc, act} = this.binBytes(lane);
        const [from, to] = this.binsAtColumn(x);
        if (from > to) return "";
        let worst = 0;
        let scenarioBits = 0;
        let activity = 0;
        let saturated = false;   // 255 stands for "255 or more"
        for (let b = from; b <= to; b++) {
            worst = Math.max(worst, this.binRank(sc[b]));
            scenarioBits = Math.max(scenarioBits, sc[b] & 31);
            activity += act[b];
            saturated ||= act[b] === 255;
        }
        const [r0, r1] = data.range;
        const width = (r1 - r0) / data.bins;
        const lines = [`${formatTimeSpan(Math.floor(r0 + from * width), Math.ceil(r0 + (to + 1) * width))}`];
        if (worst) {
            const low = 2 ** (scenarioBits - 1);
            const count = scenarioBits > 1 ? `${formatNumber(low)}–${formatNumber(low * 2 - 1)} scenarios` : "1 scenario";
            lines.push(`${count} per bin, worst ${verdictName(CODE_BY_RANK[worst - 1])}`);
        }
        if (activity) lines.push(`${formatNumber(activity)}${saturated ? "+" : ""} events, rendezvous and instance blocks`);
        lines.push(`${formatNumber(lane.binned.marks)} marks in this lane, drawn by time bins: finer detail is not in the page`, fileText);
        return lines.join("\n");
    }

    // --- drawing ---

    draw() {
        if (!this.width) return;
        this.drawAxis();
        const ctx = this.lanesCanvas.getContext("2d");
        ctx.clearRect(0, 0, this.width, this.height);
        ctx.font = FONT;
        ctx.textBaseline = "middle";
        const top = this.scroller.scrollTop;
        this.lanesCanvas.style.top = `${top}px`;
        const first = Math.floor(top / LANE_H);
        const last = Math.min(this.rows.length - 1, Math.floor((top + this.height) / LANE_H));
        for (let r = first; r <= last; r++) {
            const y = r * LANE_H - top;
            const row = this.rows[r];
            if (row.lane === undefined) {
                ctx.fillStyle = "#eef1f5";
                ctx.fillRect(0, y, this.width, LANE_H);
                continue;
            }
            const lane = lanes[row.lane];
            ctx.fillStyle = lane.file === this.highlight ? "#fff3b0" : r % 2 ? "#fafbfc" : "#ffffff";
            ctx.fillRect(0, y, this.width, LANE_H);
            if (lane.marks) this.drawMarksLane(ctx, lane.marks, y);
            else if (lane.binned) this.drawBinnedLane(ctx, lane, y);
        }
    }

    drawAxis(selection) {
        const ctx = this.axis.getContext("2d");
        ctx.clearRect(0, 0, this.width, AXIS_H);
        ctx.fillStyle = "#f4f6f9";
        ctx.fillRect(0, 0, this.width, AXIS_H);
        ctx.font = FONT;
        ctx.textBaseline = "top";
        ctx.fillStyle = "#333";
        ctx.strokeStyle = "#888";
        const step = niceStep((this.t1 - this.t0) * 110 / this.width);
        const k = this.scale();
        ctx.beginPath();
        for (let t = Math.ceil(this.t0 / step) * step; t <= this.t1; t += step) {
            const x = Math.round((t - this.t0) * k) + 0.5;
            ctx.moveTo(x, AXIS_H - 8);
            ctx.lineTo(x, AXIS_H);
            const label = formatTime(t);
            const w = ctx.measureText(label).width;
            ctx.fillText(label, Math.min(Math.max(0, x - w / 2), this.width - w), 4);
        }
        ctx.stroke();
        if (selection) {
            const [a, b] = [Math.min(...selection), Math.max(...selection)];
            ctx.fillStyle = "rgba(30, 100, 200, 0.25)";
            ctx.fillRect(a, 0, b - a, AXIS_H);
        }
    }

    // Fills the per-column buffers from exact marks; tells whether marks
    // start so close together that drawing each would overdraw.
    accumulate(marks) {
        const {worst, activity, instances, cells, width} = this;
        worst.fill(0); activity.fill(0); instances.fill(0); cells.fill(0);
        const t0 = this.t0, t1 = this.t1, k = this.scale();
        let crowded = false;
        for (let i = 0; i < marks.length; i += MARK_STRIDE) {
            const kind = marks[i], start = marks[i + 1], end = marks[i + 2];
            if (end < t0 || start > t1) continue;
            const xs = Math.max(0, Math.floor((start - t0) * k));
            const xe = Math.min(width - 1, Math.floor((end - t0) * k));
            if (kind === 0) { instances.fill(1, xs, xe + 1); continue; }
            if (kind === 1) {
                const rank = SEVERITY[scenarios[marks[i + 4]][SC.VERDICT]] + 1;
                for (let x = xs; x <= xe; x++) if (worst[x] < rank) worst[x] = rank;
            } else if (activity[xs] < 65535) {
                activity[xs]++;
            }
            if (start >= t0 && ++cells[(xs / 3) | 0] > 1) crowded = true;
        }
        return crowded;
    }

    drawMarksLane(ctx, marks, y) {
        if (this.accumulate(marks)) this.paintColumns(ctx, y);
        else this.paintMarks(ctx, marks, y);
    }

    // Density: one colour per pixel column, the worst verdict there.
    paintColumns(ctx, y) {
        const {worst, activity, instances, width} = this;
        for (let x = 0; x < width;) {
            const rank = worst[x];
            let end = x + 1;
            while (end < width && worst[end] === rank) end++;
            if (rank) {
                ctx.fillStyle = VERDICT_COLOURS[CODE_BY_RANK[rank - 1]];
                ctx.fillRect(x, y + BAND.scTop, end - x, BAND.scHeight);
            }
            x = end;
        }
        for (let level = 1; level <= 4; level++) {
            ctx.fillStyle = ACTIVITY_COLOURS[level];
            for (let x = 0; x < width; x++) {
                if (activityLevel(activity[x]) === level) ctx.fillRect(x, y + BAND.actTop, 1, BAND.actHeight);
            }
        }
        ctx.fillStyle = "#9aa3ad";
        for (let x = 0; x < width;) {
            if (!instances[x]) { x++; continue; }
            let end = x + 1;
            while (end < width && instances[end]) end++;
            ctx.fillRect(x, y + BAND.instTop, end - x, BAND.instHeight);
            x = end;
        }
    }

    // Exact marks with their names where there is room.
    paintMarks(ctx, marks, y) {
        const t0 = this.t0, t1 = this.t1, k = this.scale();
        const points = [];
        for (let i = 0; i < marks.length; i += MARK_STRIDE) {
            const kind = marks[i], start = marks[i + 1], end = marks[i + 2];
            if (end < t0 || start > t1) continue;
            const xs = (start - t0) * k;
            const xe = (end - t0) * k;
            if (kind === 0) {
                ctx.fillStyle = "#9aa3ad";
                ctx.fillRect(xs, y + BAND.instTop, Math.max(1, xe - xs), BAND.instHeight);
            } else if (kind === 1) {
                this.paintScenarioBar(ctx, marks[i + 4], xs, xe, y);
            } else {
                points.push([xs, kind, marks[i + 4]]);
            }
        }
        points.sort((a, b) => a[0] - b[0]);
        let labelledUpTo = 0;
        points.forEach(([x, kind, ref], n) => {
            ctx.fillStyle = kind === 2 ? "#263238" : "#1565c0";
            ctx.fillRect(Math.round(x) - 1, y + BAND.actTop, 2, BAND.actHeight);
            labelledUpTo = this.labelPoint(ctx, data.names[ref] ?? "", x, y, labelledUpTo,
                                           n + 1 < points.length ? points[n + 1][0] : this.width);
        });
    }

    // A point's name goes right of its tick, else left of it, where there
    // is room; returns how far labels now reach.
    labelPoint(ctx, name, x, y, labelledUpTo, nextX) {
        const width = ctx.measureText(name).width;
        const middle = y + BAND.actTop + BAND.actHeight / 2;
        if (!name) return labelledUpTo;
        if (x + 4 + width <= nextX - 2) {
            ctx.fillText(name, x + 4, middle);
            return x + 4 + width;
        }
        if (x - 4 - width >= labelledUpTo + 4) {
            ctx.fillText(name, x - 4 - width, middle);
            return x;
        }
        return labelledUpTo;
    }

    paintScenarioBar(ctx, ref, xs, xe, y) {
        const code = scenarios[ref][SC.VERDICT];
        const left = Math.max(0, xs);
        const width = Math.max(2, Math.min(this.width, xe) - left);
        ctx.fillStyle = VERDICT_COLOURS[code];
        ctx.fillRect(left, y + BAND.scTop, width, BAND.scHeight);
        const name = scenarios[ref][SC.NAME];
        if (width > 30 && ctx.measureText(name).width + 6 <= width) {
            ctx.fillStyle = code === 2 ? "#222" : "#fff";
            ctx.fillText(name, left + 3, y + BAND.scTop + BAND.scHeight / 2 + 0.5);
            ctx.fillStyle = "#263238";
        }
    }

    binBytes(lane) {
        if (!lane.decoded) lane.decoded = {sc: decodeBase64(lane.binned.sc), act: decodeBase64(lane.binned.act)};
        return lane.decoded;
    }

    binRank(byte) {
        const code = (byte >> 5) - 1;
        return code < 0 ? 0 : SEVERITY[code] + 1;
    }

    // The bins that pixel column x covers, as [first, last].
    binsAtColumn(x) {
        const [r0, r1] = data.range;
        const perBin = (r1 - r0) / data.bins || 1;
        const from = Math.floor((this.timeAtX(x) - r0) / perBin);
        const to = Math.ceil((this.timeAtX(x + 1) - r0) / perBin) - 1;
        return [Math.max(0, from), Math.min(data.bins - 1, Math.max(from, to))];
    }

    drawBinnedLane(ctx, lane, y) {
        const {sc, act} = this.binBytes(lane);
        const {worst, activity, instances, width} = this;
        instances.fill(0);
        for (let x = 0; x < width; x++) {
            const [from, to] = this.binsAtColumn(x);
            let rank = 0;
            let count = 0;
            for (let b = from; b <= to; b++) {
                rank = Math.max(rank, this.binRank(sc[b]));
                count += act[b];
            }
            worst[x] = rank;
            activity[x] = Math.min(count, 65535);
        }
        this.paintColumns(ctx, y);
    }

    // --- lane labels (only those on screen are in the document) ---

    renderLabels(focusGroup) {
        const top = this.scroller.scrollTop;
        const first = Math.max(0, Math.floor(top / LANE_H) - 2);
        const last = Math.min(this.rows.length - 1, Math.ceil((top + (this.height || 400)) / LANE_H) + 2);
        if (focusGroup === undefined && first === this.labelRange[0] && last === this.labelRange[1]) return;
        this.labelRange = [first, last];
        const nodes = [];
        for (let r = first; r <= last; r++) nodes.push(this.labelFor(this.rows[r], r));
        this.labels.replaceChildren(...nodes);
        if (focusGroup !== undefined) {
            const button = this.labels.querySelector(`button[data-group="${focusGroup}"]`);
            if (button) button.focus({preventScroll: true});
        }
    }

    labelFor(row, r) {
        const style = `top:${r * LANE_H}px`;
        if (row.lane === undefined) {
            const group = this.groups[row.group];
            return el("button", {type: "button", class: `tl-group v-${group.worst === null ? "none" : verdictClass(group.worst)}`, style,
                                 "data-group": row.group, "aria-expanded": String(group.expanded),
                                 title: group.detail || null, onclick: () => this.toggleGroup(row.group)},
                      `${group.expanded ? "▾" : "▸"} ${group.title} (${group.lanes.length})`);
        }
        const lane = lanes[row.lane];
        const file = fileByNumber.get(lane.file);
        return el("div", {class: `tl-lane${lane.file === this.highlight ? " hl" : ""}${lane.binned ? " binned" : ""}`,
                          style, "data-file": lane.file,
                          title: file ? `${file.dir}/${file.name}${lane.binned ? " (drawn by time bins)" : ""}` : null},
                  fileLabel(lane.file));
    }

    toggleGroup(g) {
        this.groups[g].expanded = !this.groups[g].expanded;
        this.buildRows();
        this.layout();
        this.renderLabels(g);
    }

    revealFile(n) {
        const laneIndex = lanes.findIndex(lane => lane.file === n);
        if (laneIndex < 0) return false;
        const group = this.groups.find(g => g.lanes.includes(laneIndex));
        if (!group.expanded) { group.expanded = true; this.buildRows(); }
        this.highlight = n;
        this.layout();
        const r = this.rows.findIndex(row => row.lane === laneIndex);
        this.scroller.scrollTop = Math.max(0, r * LANE_H - this.height / 2 + LANE_H / 2);
        this.labelRange = [-1, -1];
        this.renderLabels();
        this.draw();
        this.root.scrollIntoView({block: "start"});
        return true;
    }
}

// ===== Scenario view: runs side by side =====

const FIRST_RUN_COLUMNS = 12;
const RUN_BATCH = 24;

// Runs not passed and one passed come first; the rest wait behind a button.
function initialRunCount(runs) {
    const notPassed = runs.filter(r => r.verdict !== 0).length;
    return Math.min(runs.length, notPassed + 1, Math.max(FIRST_RUN_COLUMNS, 2));
}

function lineCell(line, differing) {
    const fields = line[LN.FIELDS] || [];
    return el("div", {class: "line", title: `RDD line ${line[LN.RDD]}, ROD line ${line[LN.ROD]}`},
        el("span", {class: "t"}, formatTime(line[LN.TIME])),
        el("span", {class: "code"}, line[LN.CODE]),
        ...fields.map((text, f) => el("span", {class: differing && differing.has(f) ? "f diff" : "f"}, text)),
        el("span", {class: "ln"}, `l. ${line[LN.RDD]}`));
}

const RANGES_SHOWN = 48;

// Long lists of RDD line ranges fold away behind their first ranges.
function rangesNote(label, ranges) {
    if (ranges.length <= RANGES_SHOWN) return el("div", {class: "ranges"}, `${label} ${ranges}`);
    const cut = ranges.lastIndexOf(",", RANGES_SHOWN);
    return el("details", {class: "ranges"},
              el("summary", null, `${label} ${ranges.slice(0, cut > 0 ? cut : RANGES_SHOWN)}…`), ranges);
}

function runHeader(run) {
    const reason = run.verdict === NOT_KNOWN ? run.why || unknownRunReason(run.file) : "";
    return el("th", {scope: "col", class: `run-head v-${verdictClass(run.verdict)}`, "data-file": run.file},
        el("a", {href: `#file=${run.file}`}, fileLabel(run.file)), " ", runVerdictBadge(run.verdict, reason),
        reason ? el("div", {class: "why"}, reason) : null,
        rangesNote("RDD lines", run.ranges),
        run.left ? rangesNote("not in the page: RDD lines", run.left) : null);
}

// Each shown run's lines by aligned row; rows where none of them has a line are left out.
function alignRows(detail, runs) {
    const rowCount = Math.max(detail.rows, 1);
    const byRun = runs.map(run => {
        const cells = Array.from({length: rowCount}, () => []);
        (run.lines || []).forEach((line, j) => cells[run.rows[j]]?.push(line));
        return cells;
    });
    const rows = [];
    for (let r = 0; r < rowCount; r++) if (byRun.some(cells => cells[r].length)) rows.push(r);
    return {byRun, rows: rows.length ? rows : [0]};
}

function runsTable(detail, count) {
    const runs = detail.runs.slice(0, count);
    const {byRun, rows} = alignRows(detail, runs);
    const diffs = new Map((detail.diffs || []).map(([row, fields]) => [row, new Set(fields)]));
    const body = el("tbody");
    rows.forEach((r, k) => {
        const tr = el("tr", {class: diffs.has(r) ? "differs" : null});
        runs.forEach((run, c) => {
            const cls = `v-${verdictClass(run.verdict)}`;
            if (!run.lines) {
                if (k === 0) {
                    tr.append(el("td", {class: `${cls} absent`, rowspan: rows.length, "data-file": run.file},
                                 `not in the page: RDD lines ${run.ranges}`));
                }
                return;
            }
            const lines = byRun[c][r];
            tr.append(lines.length
                ? el("td", {class: cls, "data-file": run.file}, ...lines.map(line => lineCell(line, diffs.get(r))))
                : el("td", {class: `${cls} gap`, "data-file": run.file, title: "no such step in this run"}, "—"));
        });
        body.append(tr);
    });
    return el("table", {class: "runs"}, el("thead", null, el("tr", null, ...runs.map(runHeader))), body);
}

function runsSection(detail) {
    const holder = el("div", {class: "runs-wrap"});
    const render = count => {
        const hidden = detail.runs.length - count;
        const next = Math.min(hidden, RUN_BATCH);
        holder.replaceChildren(runsTable(detail, count));
        if (hidden > 0) {
            holder.append(el("div", null,
                el("button", {type: "button", class: "more", onclick: () => render(count + next)},
                   `show ${plural(next, "more run", "more runs")}`),
                next < hidden ? el("span", {class: "note"}, ` of ${formatNumber(hidden)} not shown`) : null));
        }
    };
    render(initialRunCount(detail.runs));
    const others = detail.others && detail.others.count > 0
        ? `Runs (${formatNumber(detail.runs.length)} in the page, ${formatNumber(detail.others.count)} more in the report)`
        : `Runs (${formatNumber(detail.runs.length)})`;
    return el("div", {class: "sc-runs"}, el("h3", null, others), holder);
}

// ===== Scenario view: sequence diagram =====

const SVG_NS = "http://www.w3.org/2000/svg";
const INSTANCE_CODES = new Set(["EV", "SN", "DW", "FW", "DX"]);
const SEQ = {timeX: 8, benchX: 170, firstX: 380, gap: 200, top: 48, row: 24, maxLines: 2000};

function svg(tag, attrs, text) {
    const node = document.createElementNS(SVG_NS, tag);
    for (const [key, value] of Object.entries(attrs || {})) node.setAttribute(key, value);
    if (text !== undefined) node.textContent = text;
    return node;
}

function instancesOf(lines) {
    const names = [];
    for (const line of lines) {
        const fields = line[LN.FIELDS] || [];
        if (INSTANCE_CODES.has(line[LN.CODE]) && fields.length > 1 && !names.includes(fields[1])) names.push(fields[1]);
    }
    return names;
}

// One row per line that shows on the diagram: arrows for events and
// stimulations, activation bars for waits, notes for checks.
function sequenceRows(lines, instanceX) {
    const rows = [];
    let lastX = SEQ.benchX;
    for (const line of lines.slice(0, SEQ.maxLines)) {
        const code = line[LN.CODE];
        const fields = line[LN.FIELDS] || [];
        const x = INSTANCE_CODES.has(code) && fields.length > 1 ? instanceX.get(fields[1]) : undefined;
        if (x !== undefined) lastX = x;
        if (code === "EV" && x !== undefined) {
            const out = fields[3] === "out";
            rows.push({line, kind: "arrow", from: out ? x : SEQ.benchX, to: out ? SEQ.benchX : x,
                       label: [fields[0], fields[2]].filter(Boolean).join(" ")});
        } else if (code === "SN" && x !== undefined) {
            rows.push({line, kind: "arrow", from: SEQ.benchX, to: x, dashed: true,
                       label: `${fields[0]} ${fields[2] || ""}`.trim()});
        } else if ((code === "DW" || code === "FW" || code === "DX") && x !== undefined) {
            rows.push({line, kind: code, x, label: code === "DW" ? `wait ${fields[0]}` : code === "FW" ? `end ${fields[0]}` : fields[0]});
        } else if (code === "CH") {
            rows.push({line, kind: "note", x: lastX, label: `${fields[0]} = ${fields.slice(1).join(" ")}`});
        }
    }
    return rows;
}

function sequenceFrame(width, height, instanceX) {
    const root = svg("svg", {class: "seq", width, height, viewBox: `0 0 ${width} ${height}`, role: "img",
                             "aria-label": `Sequence of ${[...instanceX.keys()].join(", ")}`});
    const marker = svg("marker", {id: "zv-arrow", viewBox: "0 0 10 10", refX: 9, refY: 5, markerWidth: 7, markerHeight: 7,
                                  orient: "auto-start-reverse"});
    marker.append(svg("path", {d: "M0,0 L10,5 L0,10 z", class: "arrowhead"}));
    const defs = svg("defs");
    defs.append(marker);
    root.append(defs);
    for (const [name, x] of [["test bench", SEQ.benchX], ...instanceX]) {
        const box = svg("g", {class: "inst"});
        box.append(svg("rect", {x: x - 80, y: 4, width: 160, height: 24, rx: 3}),
                   svg("text", {x, y: 20, "text-anchor": "middle"}, name));
        root.append(svg("line", {x1: x, y1: 30, x2: x, y2: height, class: x === SEQ.benchX ? "lifeline bench" : "lifeline"}), box);
    }
    return root;
}

// Activation bars from each wait (DW) to its end (FW) on the same lifeline,
// or to the bottom when it never ends.
function activations(rows, height) {
    const layer = svg("g", {class: "activations"});
    const open = new Map();
    const bar = (x, top, bottom) => layer.append(svg("rect", {x: x - 5, y: top, width: 10, height: bottom - top, class: "activation"}));
    rows.forEach((row, k) => {
        const y = SEQ.top + k * SEQ.row;
        if (row.kind === "DW") open.set(row.x, y);
        if (row.kind === "FW" && open.has(row.x)) {
            bar(row.x, open.get(row.x), y);
            open.delete(row.x);
        }
    });
    for (const [x, y] of open) bar(x, y, height);
    return layer;
}

function sequenceStep(row, y) {
    const group = svg("g", {class: `step ${row.kind}`});
    group.append(svg("title", {}, `${row.line[LN.CODE]} ${(row.line[LN.FIELDS] || []).join(" ")} · RDD line ${row.line[LN.RDD]}`),
                 svg("text", {x: SEQ.timeX, y: y + 4, class: "time"}, formatTime(row.line[LN.TIME])));
    if (row.kind === "arrow") {
        group.append(svg("line", {x1: row.from, y1: y, x2: row.to, y2: y, class: row.dashed ? "msg dashed" : "msg",
                                  "marker-end": "url(#zv-arrow)"}),
                     svg("text", {x: (row.from + row.to) / 2, y: y - 4, "text-anchor": "middle"}, row.label));
    } else if (row.kind === "note") {
        group.append(svg("text", {x: row.x + 8, y: y + 4, class: "note"}, row.label));
    } else {
        group.append(svg("rect", {x: row.x - 4, y: y - 4, width: 8, height: 8, class: "tick"}),
                     svg("text", {x: row.x + 10, y: y + 4}, row.label));
    }
    return group;
}

function sequenceDiagram(lines) {
    const names = instancesOf(lines);
    if (!names.length) return el("p", {class: "note"}, "No instance is named in this run's lines.");
    const instanceX = new Map(names.map((name, k) => [name, SEQ.firstX + k * SEQ.gap]));
    const rows = sequenceRows(lines, instanceX);
    const width = SEQ.firstX + names.length * SEQ.gap;
    const height = SEQ.top + (rows.length + 1) * SEQ.row;
    const root = sequenceFrame(width, height, instanceX);
    root.append(activations(rows, height), ...rows.map((row, k) => sequenceStep(row, SEQ.top + k * SEQ.row)));
    const note = lines.length > SEQ.maxLines ? el("p", {class: "note"}, `The diagram shows the first ${formatNumber(SEQ.maxLines)} lines.`) : null;
    return el("div", {class: "seq-wrap"}, root, note);
}

function sequenceSection(detail) {
    const runs = detail.runs.filter(run => run.lines);
    if (!runs.length) return null;
    const holder = el("div");
    const choose = el("select", {id: "seq-run"}, ...runs.map((run, k) =>
        el("option", {value: k}, `${fileLabel(run.file)} (${verdictName(run.verdict)})`)));
    const render = () => holder.replaceChildren(sequenceDiagram(runs[Number(choose.value)].lines));
    choose.addEventListener("change", render);
    render();
    return el("div", {class: "sc-seq"}, el("h3", null, "Sequence"),
              el("div", {class: "controls"}, el("label", {for: "seq-run"}, "Run "), choose), holder);
}

// ===== Scenario view =====

function scenarioFacts(s) {
    const facts = [
        ["Verdict", verdictBadge(s[SC.VERDICT])],
        ["Time", formatTimeSpan(s[SC.START], s[SC.END])],
        ["RDD lines", s[SC.FS] ? `${s[SC.DS]} (DS) – ${s[SC.FS]} (FS)` : `${s[SC.DS]} (DS), never closed`],
        ["Key", s[SC.KEY]],
        ["Test script", scriptName(s[SC.SCRIPT]) || "—"],
        ["Files", `${s[SC.FILES]} (${plural(countRanges(s[SC.FILES]), "run", "runs")})`],
    ];
    return el("dl", {class: "facts"}, ...facts.map(([term, value]) => el("div", null, el("dt", null, term), el("dd", null, value))));
}

function scenarioWithoutDetail(s) {
    const runs = s[SC.RUNS] || [];
    return el("div", {class: "sc-nodetail"},
        el("p", {class: "note"}, `The lines of this scenario are not in the page: RDD lines ${s[SC.DS]}–${s[SC.FS] || "end"}, files ${s[SC.FILES]}.`),
        runs.length ? el("ul", {class: "att-list"}, ...runs.map(([file, verdict]) =>
            el("li", null, el("a", {href: `#file=${file}`}, fileLabel(file)), " ",
               runVerdictBadge(verdict, unknownRunReason(file)),
               verdict === NOT_KNOWN ? ` (${unknownRunReason(file)})` : ""))) : null);
}

function renderScenario(i, onBack) {
    const s = scenarios[i];
    const detail = s[SC.DETAIL] >= 0 ? details[s[SC.DETAIL]] : null;
    const heading = el("h2", {tabindex: "-1", id: "sc-title"}, s[SC.NAME],
                       scenariosByName.get(s[SC.NAME]).length > 1 ? el("span", {class: "desc"}, ` key ${s[SC.KEY]}`) : null);
    const notes = [detail && detail.omitted, data.detailNote].filter(Boolean)
        .map(text => el("p", {class: "note"}, text));
    const view = el("article", {class: `scenario v-${verdictClass(s[SC.VERDICT])}`, "data-scenario": s[SC.NAME],
                                "aria-labelledby": "sc-title"},
        el("button", {type: "button", class: "back", onclick: onBack}, "← Overview"),
        heading,
        s[SC.TITLE] ? el("p", {class: "sc-desc"}, s[SC.TITLE]) : null,
        scenarioFacts(s), ...notes,
        detail ? runsSection(detail) : scenarioWithoutDetail(s),
        detail ? sequenceSection(detail) : null);
    return {view, heading};
}

// ===== Files and diagnostics =====

function filesTable() {
    return el("table", {class: "files-table"},
        el("thead", null, el("tr", null, ...["#", "Name", "Directory", "Size", "CRC", "ROD file"].map(t => el("th", {scope: "col"}, t)))),
        el("tbody", null, ...files.map(f => el("tr", {"data-file": f.n, class: f.rod === "ok" ? null : "rod-bad"},
            el("td", null, String(f.n)), el("td", null, el("a", {href: `#file=${f.n}`}, f.name)), el("td", null, f.dir),
            el("td", {class: "num"}, formatNumber(f.size)), el("td", {class: "num"}, String(f.crc)), el("td", null, f.rod)))));
}

function renderFiles() {
    if (!files.length) return null;
    const bad = files.filter(f => f.rod !== "ok").length;
    const panel = el("details", {id: "files", class: "panel"},
        el("summary", null, el("h2", null, `Files (${formatNumber(files.length)})`),
           el("span", {class: bad ? "summary warn" : "summary"}, bad ? ` ${plural(bad, "ROD file is", "ROD files are")} not as merged` : " all ROD files as merged")));
    // Built when first opened: a thousand rows are not worth it up front.
    const fill = () => { if (panel.open && panel.childElementCount === 1) panel.append(filesTable()); };
    panel.addEventListener("toggle", fill);
    if (files.length <= 8) { panel.open = true; fill(); }
    return panel;
}

function renderDiagnostics() {
    const diagnostics = data.diagnostics;
    if (!diagnostics || !(diagnostics.count > 0)) return null;
    const entries = diagnostics.first || [];
    const left = diagnostics.count - entries.length;
    return section("diagnostics", `Diagnostics (${formatNumber(diagnostics.count)})`,
        el("ul", {class: "diag"}, ...entries.map(entry => el("li", null, Array.isArray(entry) ? entry.join(" ") : String(entry)))),
        left > 0 ? el("p", {class: "note"}, `${plural(left, "more is", "more are")} in the report.`) : null);
}

// ===== Page: routing between the overview and a scenario =====

const app = document.getElementById("app");
const main = el("main", {id: "overview"});
const scenarioPane = el("div", {id: "scenario-view", hidden: true});
const notice = el("p", {class: "notice", role: "status", hidden: true});
let timeline = null;
let tables = [];
let overviewScroll = 0;
let movedInPage = false;

function parseHash() {
    const params = {};
    for (const part of location.hash.replace(/^#/, "").split("&")) {
        if (!part) continue;
        const eq = part.indexOf("=");
        const value = eq < 0 ? "" : part.slice(eq + 1);
        try { params[eq < 0 ? part : part.slice(0, eq)] = decodeURIComponent(value); }
        catch { params[part.slice(0, eq)] = value; }
    }
    return params;
}

function ensureTimeline() {
    if (timeline || !data.range || !lanes.length) return;
    timeline = new Timeline();
    main.querySelector("#timeline-slot").replaceWith(timeline.root);
    timeline.layout();
}

function backToOverview() {
    if (movedInPage) history.back();
    else location.hash = "";
}

function showScenario(i) {
    if (!main.hidden) overviewScroll = window.scrollY;
    main.hidden = true;
    scenarioPane.hidden = false;
    const {view, heading} = renderScenario(i, backToOverview);
    scenarioPane.replaceChildren(view);
    window.scrollTo(0, 0);
    heading.focus({preventScroll: true});
}

function showOverview(restoreScroll) {
    const wasHidden = main.hidden;
    scenarioPane.hidden = true;
    scenarioPane.replaceChildren();
    main.hidden = false;
    if (wasHidden) {
        for (const table of tables) table.refresh();
        if (timeline) timeline.layout();
        if (restoreScroll) window.scrollTo(0, overviewScroll);
    }
}

function route() {
    const params = parseHash();
    notice.hidden = true;
    if (params.scenario !== undefined) {
        const i = findScenario(params.scenario, params.key);
        if (i >= 0) { showScenario(i); return; }
        notice.textContent = `This report has no scenario ${params.scenario}${params.key !== undefined ? ` with key ${params.key}` : ""}.`;
        notice.hidden = false;
    }
    showOverview(params.file === undefined);
    if (params.file !== undefined) {
        ensureTimeline();
        if (!timeline || !timeline.revealFile(Number(params.file))) {
            notice.textContent = `This report has no lane for file #${params.file}.`;
            notice.hidden = false;
        }
    }
}

function start() {
    const attention = renderAttention();
    const scenarioTable = renderScenarioTable();
    const items = renderItems();
    tables = [scenarioTable, items].filter(Boolean);
    const timelineSlot = data.range && lanes.length ? el("div", {id: "timeline-slot", class: "panel placeholder"}, "Timeline…") : null;
    main.append(notice, ...[attention, timelineSlot, scenarioTable && scenarioTable.root, items && items.root,
                            renderFiles(), renderDiagnostics()].filter(Boolean));
    app.append(renderHeader(), scenarioPane, main);
    window.addEventListener("hashchange", () => { movedInPage = true; route(); });
    route();
    // The timeline waits until the first views are on screen.
    requestAnimationFrame(() => setTimeout(ensureTimeline, 0));
}

start();
})();
