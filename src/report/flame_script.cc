#include "report/flame_script.h"

#include <fmt/format.h>

namespace stackpeek::report {
namespace {

constexpr std::string_view kMatchFill = "#e040e0";

constexpr std::string_view kScript = R"js(
var boxes = Array.prototype.slice.call(document.getElementsByTagName('g'));
var reset = document.getElementById('unzoom'), search = document.getElementById('search');
function part(g, name) { return g.getElementsByTagName(name)[0]; }
function state() {
  var s = {};
  location.hash.slice(1).split('&').forEach(function (kv) {
    var i = kv.indexOf('=');
    if (i > 0) s[kv.slice(0, i)] = decodeURIComponent(kv.slice(i + 1));
  });
  return s;
}
function change(key, value) {
  var s = state(), parts = [];
  s[key] = value;
  ['zoom', 'search'].forEach(function (k) {
    if (s[k]) parts.push(k + '=' + encodeURIComponent(s[k]));
  });
  location.hash = parts.join('&');
}
boxes.forEach(function (g, i) {
  var r = part(g, 'rect'), t = part(g, 'text');
  g.x = +r.getAttribute('x'); g.w = +r.getAttribute('width'); g.y = +r.getAttribute('y');
  g.f = r.getAttribute('fill');
  g.l = g.getAttribute('data-l') || (t ? t.textContent : '');
  g.style.cursor = 'pointer';
  g.addEventListener('click', function () { change('zoom', i ? String(i) : ''); });
});
reset.addEventListener('click', function () { change('zoom', ''); });
search.addEventListener('click', function () {
  if (state().search) return change('search', '');
  var text = prompt('Paint the frames matching (a regular expression):', '');
  if (text) change('search', text);
});
function matcher(text) {
  if (!text) return null;
  try { return new RegExp(text); } catch (e) {
    return new RegExp(text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'));
  }
}
function draw(g, x, w, fill) {
  var r = part(g, 'rect'), t = part(g, 'text');
  var chars = Array.from(g.l), room = Math.floor((w - 2 * IN) / CW);
  r.setAttribute('x', x.toFixed(1)); r.setAttribute('width', w.toFixed(2));
  r.setAttribute('fill', fill);
  if (room < 2) { if (t) t.textContent = ''; return; }
  if (!t) {
    t = document.createElementNS('http://www.w3.org/2000/svg', 'text');
    t.setAttribute('y', g.y + BASE); g.appendChild(t);
  }
  t.setAttribute('x', (x + IN).toFixed(1));
  t.textContent = chars.length <= room ? g.l : chars.slice(0, room - 1).join('') + '\u2026';
}
function show() {
  var s = state(), z = boxes[+s.zoom] || null, re = matcher(s.search), e = 0.05, matched = 0;
  reset.setAttribute('display', z && z !== boxes[0] ? 'inline' : 'none');
  boxes.forEach(function (g) {
    var x = g.x, w = g.w, shown = true, hit = re !== null && re.test(g.l);
    if (z && g.y <= z.y && g.x >= z.x - e && g.x + g.w <= z.x + z.w + e) {
      x = M + (g.x - z.x) * W / z.w; w = g.w * W / z.w;
    } else if (z && g.y > z.y && g.x <= z.x + e && g.x + g.w >= z.x + z.w - e) {
      x = M; w = W;
    } else if (z) {
      shown = false;
    }
    g.setAttribute('display', shown ? 'inline' : 'none');
    if (shown) draw(g, x, w, hit ? MATCH : g.f);
    if (hit) ++matched;
  });
  search.setAttribute('display', 'inline');
  search.textContent = re ? 'Search: ' + matched + ' matching \u00d7' : 'Search';
}
window.addEventListener('hashchange', show);
show();
)js";

}  // namespace

std::string flame_script(const FlameGeometry& geometry) {
  return fmt::format(
      "<text id=\"unzoom\" class=\"u\" x=\"{:.0f}\" y=\"22\" display=\"none\">Reset zoom</text>\n"
      "<text id=\"search\" class=\"u\" x=\"{:.0f}\" y=\"22\" text-anchor=\"end\" "
      "display=\"none\">Search</text>\n"
      "<script type=\"text/ecmascript\"><![CDATA[\n(function () {{\n"
      "var W = {}, M = {}, CW = {}, IN = {}, BASE = {}, MATCH = '{}';{}}})();\n]]></script>\n",
      geometry.margin, geometry.margin + geometry.flame_width, geometry.flame_width,
      geometry.margin, geometry.char_width, geometry.text_inset, geometry.baseline, kMatchFill,
      kScript);
}

}  // namespace stackpeek::report
