// Fits the drawing to the window, zooms and pans; switches between the
// column view and the table view; shows one database or table and its
// neighbours only; highlights a column's (or a table's) upstream and
// downstream path; finds tables and columns. Reads the graph from the JSON
// block; writes the page only through classList, textContent, form values,
// the filter's list of suggestions and the SVG's size attributes.
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("lineage-data").textContent);
  const main = document.getElementById("graph");
  const svg = main.querySelector("svg");
  const status = document.getElementById("status");
  const search = document.getElementById("search");
  const filterBox = document.getElementById("filter");
  const toggle = document.getElementById("view-toggle");

  const PT = 4 / 3;            // CSS pixels per point
  const PAD = 10;              // main's padding, in pixels
  const OPEN_FLOOR = 0.5;      // a page opens no smaller (labels stay legible): anchored instead
  const MIN_SCALE = 0.01;
  const MAX_SCALE = 4;
  const CROWDED = 150;         // edges from which they are drawn lighter

  const nodeOf = new Map();    // column id -> node id
  for (const node of data.nodes) {
    for (const [id] of node.columns) nodeOf.set(id, node.id);
  }

  function linked(edges) {
    const upstream = new Map();
    const downstream = new Map();
    function link(map, from, edge, to) {
      if (!map.has(from)) map.set(from, []);
      map.get(from).push([edge, to]);
    }
    for (const [edge, source, target, indirect] of edges) {
      if (indirect && !showIndirect) continue;  // hidden: traced only while shown
      link(downstream, source, edge, target);
      link(upstream, target, edge, source);
    }
    return {upstream: upstream, downstream: downstream};
  }

  // A view: its group in the SVG, its size in points, its traceable items
  // (cells: the column view's columns, the table view's tables) with the
  // edges between them, what a cell traces from, and each graph node's
  // element and each edge's pair of nodes (for the filter).
  function columnView() {
    const starts = new Map();
    for (const node of data.nodes) {
      const ids = node.columns.map(function (column) { return column[0]; });
      starts.set(node.id + "h", {name: node.label, items: ids});
      for (const [id, name] of node.columns) starts.set(id, {name: node.label + "." + name, items: [id]});
    }
    return Object.assign(linked(data.edges), {
      name: "columns", starts: starts,
      nodeElement: function (nodeId) { return nodeId; },
      edgeNodes: data.edges.map(function (edge) { return [edge[0], nodeOf.get(edge[1]), nodeOf.get(edge[2])]; }),
      // A column-view start in this view: itself.
      startFor: function (start) { return start.charAt(0) === "t" ? start.slice(1) : start; },
    });
  }
  function tableView() {
    const starts = new Map();
    for (const node of data.nodes) starts.set("t" + node.id + "h", {name: node.label, items: ["t" + node.id + "h"]});
    const edges = data.tableEdges.map(function (edge) { return [edge[0], "t" + edge[1] + "h", "t" + edge[2] + "h"]; });
    return Object.assign(linked(edges), {
      name: "tables", starts: starts,
      nodeElement: function (nodeId) { return "t" + nodeId; },
      edgeNodes: data.tableEdges,
      // A column (n3c2) or table (n3h) of the column view: its table here.
      startFor: function (start) {
        if (start.charAt(0) === "t") return start;
        return "t" + (nodeOf.get(start) || start.slice(0, -1)) + "h";
      },
    });
  }
  let showIndirect = false;    // the edges of what decides the rows (--indirect)
  const views = {columns: columnView(), tables: tableView()};
  for (const name in views) {
    const view = views[name];
    view.group = document.getElementById("view-" + name);
    view.size = data.views[name];
    if (view.edgeNodes.length > CROWDED) view.group.classList.add("crowded");
  }
  let view = views.columns;
  let panning = null;          // a drag under way: where it started
  let dragged = false;         // the last press moved: no click

  function plural(count, word) {
    return count + " " + word + (count === 1 ? "" : "s");
  }

  // Graphviz writes a linked cell's id with an "a_" prefix.
  function cell(id) {
    return document.getElementById("a_" + id);
  }
  function startAt(element) {
    const group = element.closest('g[id^="a_"]');
    const id = group ? group.id.slice(2) : null;
    return view.starts.has(id) ? id : null;
  }
  function hidden(element) {
    return element.closest(".hidden") !== null;
  }

  // Scale and position -------------------------------------------------------
  let scale = 1;
  function setScale(factor) {
    scale = Math.min(MAX_SCALE, Math.max(MIN_SCALE, factor));
    svg.setAttribute("width", view.size[0] * scale + "pt");
    svg.setAttribute("height", view.size[1] * scale + "pt");
    svg.setAttribute("viewBox", "0 0 " + view.size[0] + " " + view.size[1]);
  }
  const WHOLE = {x0: 0, y0: 0, x1: 1, y1: 1};
  // Where elements are in the drawing, as fractions of its width and height.
  function box(elements) {
    const drawn = svg.getBoundingClientRect();
    let found = null;
    for (const element of elements) {
      const r = element.getBoundingClientRect();
      if (!r.width && !r.height) continue;
      const b = {x0: (r.left - drawn.left) / drawn.width, y0: (r.top - drawn.top) / drawn.height,
                 x1: (r.right - drawn.left) / drawn.width, y1: (r.bottom - drawn.top) / drawn.height};
      found = found ? {x0: Math.min(found.x0, b.x0), y0: Math.min(found.y0, b.y0),
                       x1: Math.max(found.x1, b.x1), y1: Math.max(found.y1, b.y1)} : b;
    }
    return found;
  }
  // The scale at which a box of the drawing fills the window.
  function scaleToShow(b) {
    const width = Math.max(1, main.clientWidth - 2 * PAD);
    const height = Math.max(1, main.clientHeight - 2 * PAD);
    return Math.min(width / Math.max(1e-9, (b.x1 - b.x0) * view.size[0] * PT),
                    height / Math.max(1e-9, (b.y1 - b.y0) * view.size[1] * PT));
  }
  // Scrolls so that the drawing's point (fx, fy) is at the window's (x, y).
  function place(fx, fy, x, y) {
    const drawn = svg.getBoundingClientRect();
    main.scrollLeft += drawn.left + fx * drawn.width - x;
    main.scrollTop += drawn.top + fy * drawn.height - y;
  }
  function centre() {
    const frame = main.getBoundingClientRect();
    return [frame.left + main.clientWidth / 2, frame.top + main.clientHeight / 2];
  }
  // Shows a box of the drawing whole and centred, no larger than `most`.
  function show(b, most) {
    setScale(Math.min(most, scaleToShow(b)));
    const [x, y] = centre();
    place((b.x0 + b.x1) / 2, (b.y0 + b.y1) / 2, x, y);
  }
  // Centres an element, zoomed in to at least the actual size.
  function focus(element) {
    setScale(Math.max(scale, 1));
    const b = box([element]);
    if (!b) return;
    const [x, y] = centre();
    place((b.x0 + b.x1) / 2, (b.y0 + b.y1) / 2, x, y);
  }
  function zoomAt(factor, x, y) {
    const drawn = svg.getBoundingClientRect();
    const fx = (x - drawn.left) / drawn.width;
    const fy = (y - drawn.top) / drawn.height;
    setScale(scale * factor);
    place(fx, fy, x, y);
  }
  function zoom(factor) {
    const [x, y] = centre();
    zoomAt(factor, x, y);
  }
  function visibleNodes() {
    return Array.from(view.group.querySelectorAll("g.node")).filter(function (node) { return !hidden(node); });
  }
  // Everything shown, fitted to the window (never enlarged).
  function fit() {
    show(box(visibleNodes()) || WHOLE, 1);
  }
  // Whether some of an element is in the window.
  function inView(element) {
    const r = element.getBoundingClientRect();
    const frame = main.getBoundingClientRect();
    return r.right > frame.left && r.left < frame.left + main.clientWidth &&
      r.bottom > frame.top && r.top < frame.top + main.clientHeight;
  }
  // Fitted, unless that is too small to make anything out: then at the
  // smallest readable scale from the top-left corner, or, when nothing is
  // drawn there, with the table nearest that corner at the top left.
  function open() {
    const shown = visibleNodes();
    const b = box(shown) || WHOLE;
    if (scaleToShow(b) >= OPEN_FLOOR) return show(b, 1);
    setScale(OPEN_FLOOR);
    const [w, h] = view.size;
    const first = shown.map(function (node) { return box([node]); }).filter(Boolean)
      .reduce(function (best, corner) {
        return !best || corner.x0 * w + corner.y0 * h < best.x0 * w + best.y0 * h ? corner : best;
      }, null);
    if (!first) return;
    const frame = main.getBoundingClientRect();
    place(Math.max(0, b.x0 - PAD / (w * PT * scale)), Math.max(0, b.y0 - PAD / (h * PT * scale)),
          frame.left, frame.top);
    if (!shown.some(inView)) place(first.x0, first.y0, frame.left + PAD, frame.top + PAD);
  }

  // Tracing --------------------------------------------------------------------
  // Every item and edge reachable from `from` along `links`.
  function reach(from, links, items, edges) {
    const todo = from.slice();
    while (todo.length) {
      for (const [edge, next] of links.get(todo.pop()) || []) {
        edges.add(edge);
        if (!items.has(next)) {
          items.add(next);
          todo.push(next);
        }
      }
    }
  }

  function clearTrace() {
    svg.classList.remove("tracing");
    for (const element of svg.querySelectorAll(".on")) element.classList.remove("on", "start");
  }

  function trace(start) {
    clearTrace();
    if (!start) return;
    const from = view.starts.get(start).items;
    const items = new Set(from);
    const edges = new Set();
    reach(from, view.upstream, items, edges);
    const sources = items.size - from.length;
    reach(from, view.downstream, items, edges);
    svg.classList.add("tracing");
    for (const id of items) {
      const element = cell(id);
      if (element) element.classList.add("on");
    }
    for (const id of edges) {
      const element = document.getElementById(id);
      if (element) element.classList.add("on");
    }
    cell(start).classList.add("on", "start");
    const unit = view === views.tables ? "table" : "column";
    status.textContent = view.starts.get(start).name + ": " + plural(sources, unit) + " upstream, " +
      plural(items.size - from.length - sources, unit) + " downstream";
  }

  let pinned = null;
  function pin(start) {
    pinned = start;
    trace(start);
    if (!start) status.textContent = "";
  }
  svg.addEventListener("mouseover", function (event) {
    const start = startAt(event.target);
    if (start && !pinned && !panning) trace(start);
  });
  svg.addEventListener("mouseout", function (event) {
    if (!pinned && startAt(event.target)) {
      clearTrace();
      status.textContent = "";
    }
  });
  svg.addEventListener("click", function (event) {
    if (!event.target.closest("a")) return;
    event.preventDefault();
    if (dragged) return;
    const start = startAt(event.target);
    pin(start && start !== pinned ? start : null);
  });

  // A name as a link gives it: a cell id (n3c2, n3h, tn3h), or db.table.column
  // or db.table (any case); the start it names in the column view.
  const byName = new Map();
  for (const node of data.nodes) {
    const table = node.label.toLowerCase();
    if (!byName.has(table)) byName.set(table, node.id + "h");
    for (const [id, name] of node.columns) {
      const key = table + "." + name.toLowerCase();
      if (!byName.has(key)) byName.set(key, id);
    }
  }
  function named(name) {
    if (!name) return null;
    if (views.columns.starts.has(name) || views.tables.starts.has(name)) return name;
    return byName.get(name.toLowerCase()) || null;
  }

  // Search: tables by name, columns by name or table.column (in the table
  // view, a table also by its columns).
  let matches = [];
  let current = -1;
  // Highlights what `text` finds; `jump` goes to the first.
  function find(text, jump) {
    for (const element of svg.querySelectorAll(".match")) element.classList.remove("match", "current");
    matches = [];
    current = -1;
    const query = text.trim().toLowerCase();
    if (!query) {
      status.textContent = "";
      return;
    }
    for (const node of data.nodes) {
      const table = node.label.toLowerCase();
      if (table.includes(query)) matches.push(node.id + "h");
      for (const [id, name] of node.columns) {
        const column = name.toLowerCase();
        if (column.includes(query) || (table + "." + column).includes(query) && !table.includes(query)) {
          matches.push(id);
        }
      }
    }
    matches = Array.from(new Set(matches.map(view.startFor)))
      .filter(function (id) { return cell(id) && !hidden(cell(id)); });
    for (const id of matches) cell(id).classList.add("match");
    status.textContent = matches.length + (matches.length === 1 ? " match" : " matches");
    if (jump !== false) next();
  }
  function next() {
    if (!matches.length) return;
    if (current >= 0) cell(matches[current]).classList.remove("current");
    current = (current + 1) % matches.length;
    const element = cell(matches[current]);
    element.classList.add("current");
    focus(element);
  }
  search.addEventListener("input", function () { find(search.value); });
  search.addEventListener("keydown", function (event) {
    if (event.key === "Enter") next();
  });

  // Filter: the databases or tables a text names (a database or table
  // name exactly, else every table whose name holds the text), with their
  // direct neighbours; the rest hidden.
  for (const name of new Set(data.nodes.map(function (node) { return node.db; })
                                .concat(data.nodes.map(function (node) { return node.label; })))) {
    if (!name) continue;
    const option = document.createElement("option");
    option.value = name;
    document.getElementById("filter-names").appendChild(option);
  }
  function namedBy(text) {
    const query = text.trim().toLowerCase();
    const exact = data.nodes.filter(function (node) {
      return (node.db || "").toLowerCase() === query || node.label.toLowerCase() === query;
    });
    const chosen = exact.length ? exact : data.nodes.filter(function (node) {
      return node.label.toLowerCase().includes(query);
    });
    return new Set(chosen.map(function (node) { return node.id; }));
  }
  function unfilter() {
    for (const element of svg.querySelectorAll(".hidden")) element.classList.remove("hidden");
    filterBox.classList.remove("none");
  }
  function applyFilter(refit) {
    unfilter();
    const text = filterBox.value;
    if (!text.trim()) {
      status.textContent = "";
      if (pinned) trace(pinned);
      if (refit) fit();
      return;
    }
    const chosen = namedBy(text);
    if (!chosen.size) {
      filterBox.classList.add("none");
      status.textContent = "nothing is named like " + JSON.stringify(text.trim());
      return;
    }
    const shown = new Set(chosen);
    const edges = new Set();
    for (const [edge, source, target] of view.edgeNodes) {
      if (chosen.has(source) || chosen.has(target)) {
        shown.add(source);
        shown.add(target);
        edges.add(edge);
      }
    }
    const hide = function (id) {
      const element = document.getElementById(id);
      if (element) element.classList.add("hidden");
    };
    for (const node of data.nodes) if (!shown.has(node.id)) hide(view.nodeElement(node.id));
    for (const [edge] of view.edgeNodes) if (!edges.has(edge)) hide(edge);
    status.textContent = "showing " + plural(chosen.size, "table") + " and " +
      plural(shown.size - chosen.size, "neighbour") + " of " + data.nodes.length;
    if (refit) fit();
  }
  filterBox.addEventListener("input", function () {
    applyFilter(true);
    if (search.value) find(search.value, false);    // what is still in sight
  });

  // The two views -----------------------------------------------------------------
  function switchTo(name) {
    if (!views[name] || views[name] === view) return;
    const start = pinned;
    pin(null);
    find("");
    unfilter();
    view.group.setAttribute("display", "none");
    view = views[name];
    view.group.removeAttribute("display");
    document.body.dataset.view = name;
    toggle.setAttribute("aria-pressed", String(name === "tables"));
    setScale(scale);
    applyFilter(false);
    open();
    if (start) pin(view.startFor(start));
    if (search.value) find(search.value, false);
  }
  const indirectToggle = document.getElementById("indirect-toggle");
  function showIndirectEdges(show) {
    showIndirect = show;
    document.body.classList.toggle("show-indirect", show);
    indirectToggle.setAttribute("aria-pressed", String(show));
    Object.assign(views.columns, linked(data.edges));
    if (pinned) trace(pinned);
  }
  if (indirectToggle) {
    indirectToggle.addEventListener("click", function () { showIndirectEdges(!showIndirect); });
  }

  toggle.addEventListener("click", function () {
    switchTo(view === views.tables ? "columns" : "tables");
  });

  // Zoom and pan ------------------------------------------------------------------
  document.getElementById("zoom-in").addEventListener("click", function () { zoom(1.25); });
  document.getElementById("zoom-out").addEventListener("click", function () { zoom(0.8); });
  document.getElementById("zoom-fit").addEventListener("click", fit);
  document.getElementById("zoom-reset").addEventListener("click", function () { zoom(1 / scale); });
  main.addEventListener("wheel", function (event) {
    if (!event.ctrlKey && !event.metaKey) return;     // a plain wheel scrolls
    event.preventDefault();
    zoomAt(event.deltaY < 0 ? 1.15 : 1 / 1.15, event.clientX, event.clientY);
  }, {passive: false});
  document.addEventListener("keydown", function (event) {
    const typing = event.target instanceof Element && event.target.closest("input, button");
    if (typing || event.ctrlKey || event.metaKey || event.altKey) return;
    const keys = {"+": function () { zoom(1.25); }, "=": function () { zoom(1.25); },
                  "-": function () { zoom(0.8); }, "0": fit, "1": function () { zoom(1 / scale); },
                  "t": function () { toggle.click(); },
                  "i": function () { if (indirectToggle) indirectToggle.click(); }};
    if (keys[event.key]) {
      event.preventDefault();
      keys[event.key]();
    }
  });
  // Dragging the drawing pans it; a drag is no click.
  main.addEventListener("pointerdown", function (event) {
    if (event.button !== 0) return;
    panning = {x: event.clientX, y: event.clientY, left: main.scrollLeft, top: main.scrollTop};
    dragged = false;
  });
  window.addEventListener("pointermove", function (event) {
    if (!panning) return;
    const dx = event.clientX - panning.x;
    const dy = event.clientY - panning.y;
    if (!dragged && Math.abs(dx) + Math.abs(dy) < 4) return;
    dragged = true;
    main.classList.add("panning");
    main.scrollLeft = panning.left - dx;
    main.scrollTop = panning.top - dy;
  });
  window.addEventListener("pointerup", function () {
    panning = null;
    main.classList.remove("panning");
  });

  // A link may ask for the table view (#view=tables), a filter
  // (#filter=sales), the indirect edges shown (#indirect, #indirect=off),
  // a column or table to trace and centre
  // (#column=db.table.column, #column=db.table, or a cell id as n3c2), or a
  // text to find (#search=orders).
  function follow() {
    const asked = new URLSearchParams(location.hash.slice(1));
    if (asked.has("view")) switchTo(asked.get("view") === "tables" ? "tables" : "columns");
    if (indirectToggle && asked.has("indirect")) showIndirectEdges(asked.get("indirect") !== "off");
    if (asked.has("filter")) {
      filterBox.value = asked.get("filter");
      applyFilter(false);
    }
    open();
    const start = named(asked.get("column"));
    if (start) {
      pin(view.startFor(start));
      focus(cell(pinned));
    } else if (asked.get("search")) {
      search.value = asked.get("search");
      find(search.value);
    }
  }
  document.body.dataset.view = view.name;
  setScale(1);
  follow();
  window.addEventListener("hashchange", follow);
  document.body.dataset.ready = "true";
})();
