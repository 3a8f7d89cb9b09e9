// Highlights a column's upstream and downstream path, finds tables and
// columns, zooms. Reads the graph from the JSON block; writes the page
// only through classList and textContent.
(function () {
  "use strict";
  const data = JSON.parse(document.getElementById("lineage-data").textContent);
  const svg = document.querySelector("#graph svg");
  const status = document.getElementById("status");
  const search = document.getElementById("search");

  if (data.edges.length > 150) svg.classList.add("crowded");

  const upstream = new Map();
  const downstream = new Map();
  function link(map, from, edge, to) {
    if (!map.has(from)) map.set(from, []);
    map.get(from).push([edge, to]);
  }
  for (const [edge, source, target] of data.edges) {
    link(downstream, source, edge, target);
    link(upstream, target, edge, source);
  }
  // What a cell traces from: a column, or (its header) every column of a table.
  const starts = new Map();
  for (const node of data.nodes) {
    const ids = node.columns.map(function (column) { return column[0]; });
    starts.set(node.id + "h", {name: node.label, columns: ids});
    for (const [id, name] of node.columns) starts.set(id, {name: node.label + "." + name, columns: [id]});
  }

  // Graphviz writes a linked cell's id with an "a_" prefix.
  function cell(id) {
    return document.getElementById("a_" + id);
  }
  function startAt(element) {
    const group = element.closest('g[id^="a_"]');
    const id = group ? group.id.slice(2) : null;
    return starts.has(id) ? id : null;
  }

  // Every column and edge reachable from `from` along `links`.
  function reach(from, links, columns, edges) {
    const todo = from.slice();
    while (todo.length) {
      for (const [edge, next] of links.get(todo.pop()) || []) {
        edges.add(edge);
        if (!columns.has(next)) {
          columns.add(next);
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
    const from = starts.get(start).columns;
    const columns = new Set(from);
    const edges = new Set();
    reach(from, upstream, columns, edges);
    const sources = columns.size - from.length;
    reach(from, downstream, columns, edges);
    svg.classList.add("tracing");
    for (const id of columns) {
      const element = cell(id);
      if (element) element.classList.add("on");
    }
    for (const id of edges) {
      const element = document.getElementById(id);
      if (element) element.classList.add("on");
    }
    cell(start).classList.add("on", "start");
    status.textContent = starts.get(start).name + ": " + sources + " upstream, " +
      (columns.size - from.length - sources) + " downstream";
  }

  let pinned = null;
  function pin(start) {
    pinned = start;
    trace(start);
    if (!start) status.textContent = "";
  }
  svg.addEventListener("mouseover", function (event) {
    const start = startAt(event.target);
    if (start && !pinned) trace(start);
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
    const start = startAt(event.target);
    pin(start && start !== pinned ? start : null);
  });

  // Search: tables by name, columns by name or table.column.
  let matches = [];
  let current = -1;
  function find(text) {
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
    matches = matches.filter(function (id) { return cell(id); });
    for (const id of matches) cell(id).classList.add("match");
    status.textContent = matches.length + (matches.length === 1 ? " match" : " matches");
    next();
  }
  function next() {
    if (!matches.length) return;
    if (current >= 0) cell(matches[current]).classList.remove("current");
    current = (current + 1) % matches.length;
    const element = cell(matches[current]);
    element.classList.add("current");
    element.scrollIntoView({block: "center", inline: "center"});
  }
  search.addEventListener("input", function () { find(search.value); });
  search.addEventListener("keydown", function (event) {
    if (event.key === "Enter") next();
  });

  // Zoom by the SVG's own size, so that the page scrolls over all of it.
  const width = parseFloat(svg.getAttribute("width"));
  const height = parseFloat(svg.getAttribute("height"));
  let scale = 1;
  function zoom(factor) {
    scale = factor ? Math.min(4, Math.max(0.1, scale * factor)) : 1;
    svg.setAttribute("width", width * scale + "pt");
    svg.setAttribute("height", height * scale + "pt");
  }
  document.getElementById("zoom-in").addEventListener("click", function () { zoom(1.25); });
  document.getElementById("zoom-out").addEventListener("click", function () { zoom(0.8); });
  document.getElementById("zoom-reset").addEventListener("click", function () { zoom(0); });

  // A link may name a column or table to trace (#column=n3c2, #column=n3h)
  // or a text to find (#search=orders).
  const hash = new URLSearchParams(location.hash.slice(1));
  if (starts.has(hash.get("column"))) pin(hash.get("column"));
  else if (hash.get("search")) {
    search.value = hash.get("search");
    find(search.value);
  }
  document.body.dataset.ready = "true";
})();
