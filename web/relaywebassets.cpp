// The style sheet and the script of the relay's web page. The script only refreshes the
// lists the server already rendered, polling the JSON; it builds every node with
// textContent, so a client's text is never parsed as HTML.

#include "relaywebpages.h"

namespace arbelon::web {

QByteArray styleSheet()
{
    return QByteArrayLiteral(R"css(
:root { color-scheme: light dark; --line: #8884; --accent: #2a6db0; }
* { box-sizing: border-box; }
body { margin: 0; font: 16px/1.45 system-ui, sans-serif; }
header { display: flex; flex-wrap: wrap; gap: .5em 1.5em; align-items: baseline; padding: .6em 1em;
         border-bottom: 1px solid var(--line); }
header .home { font-weight: 700; text-decoration: none; }
nav a { margin-right: 1em; }
main { padding: 0 1em 2em; max-width: 70em; }
a { color: var(--accent); }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: .35em .6em; border-bottom: 1px solid var(--line); white-space: nowrap; }
td:first-child { white-space: normal; overflow-wrap: anywhere; }
.num { text-align: right; font-variant-numeric: tabular-nums; }
.scroll { overflow-x: auto; }
.facts span { font-weight: 600; }
.cols { display: flex; flex-wrap: wrap; gap: 0 3em; }
.cols section { flex: 1 1 18em; min-width: 0; }
#chat { padding-left: 1.5em; overflow-wrap: anywhere; }
#chat .who { font-weight: 600; }
.watch { display: inline-block; padding: .4em .9em; border: 1px solid var(--accent); border-radius: .3em;
         text-decoration: none; }
.updated, .empty { color: GrayText; font-size: .9em; }
#events { padding-left: 2.5em; }
#events .at { font-variant-numeric: tabular-nums; color: GrayText; }
.name { font-weight: 600; }
.c0 { color: #555; } .c1 { color: #d22; } .c2 { color: #1a1; } .c3 { color: #b90; }
.c4 { color: #24d; } .c5 { color: #0aa; } .c6 { color: #b2b; }
@media (max-width: 40em) {
  body { font-size: 15px; }
  th, td { padding: .3em .35em; }
}
)css");
}

QByteArray script()
{
    return QByteArrayLiteral(R"js('use strict';
(function () {
  var page = document.body.getAttribute('data-page');
  var polls = 0;
  function el(tag, text, cls) {
    var e = document.createElement(tag);
    if (text !== undefined) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }
  function link(href, text) { var a = el('a', text); a.setAttribute('href', href); return a; }
  function size(n) {
    if (n < 1024) return n + ' B';
    if (n < 1048576) return (n / 1024).toFixed(1) + ' KiB';
    return (n / 1048576).toFixed(1) + ' MiB';
  }
  function since(s) {
    s = Math.max(0, s); var h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, r = s % 60;
    var two = function (v) { return (v < 10 ? '0' : '') + v; };
    return h > 0 ? h + ':' + two(m) + ':' + two(r) : m + ':' + two(r);
  }
  function stamp() {
    var u = document.getElementById('updated');
    polls += 1;
    if (u) { u.textContent = 'Updated ' + new Date().toLocaleTimeString(); u.setAttribute('data-polls', String(polls)); }
  }
  function fill(id, items, make) {
    var list = document.getElementById(id);
    if (!list) return;
    var host = list.tBodies ? list.tBodies[0] : list;
    var rows = items.map(make);
    host.replaceChildren.apply(host, rows);
  }
  // A name with the engines' colour codes ("^1"): one span per colour, text only.
  function named(name) {
    var out = el('span', undefined, 'name'), run = '', colour = 7;
    var flush = function () {
      if (run) out.appendChild(colour === 7 ? document.createTextNode(run) : el('span', run, 'c' + colour));
      run = '';
    };
    for (var i = 0; i < name.length; i++) {
      if (name[i] === '^' && i + 1 < name.length && /[A-Za-z0-9]/.test(name[i + 1])) {
        flush(); colour = (name.charCodeAt(i + 1) - 48) & 7; i++;
      } else run += name[i];
    }
    flush();
    return out;
  }
  function eventLine(e) {
    var li = el('li'); li.setAttribute('value', String(e.number));
    li.appendChild(el('span', since(Math.floor(e.clockMs / 1000)), 'at')); li.appendChild(document.createTextNode(' '));
    var add = function (n) { li.appendChild(n); }, text = function (t) { add(document.createTextNode(t)); };
    if (e.kind === 'frag') {
      if (!e.actor) { add(named(e.target)); text(' died (' + e.weapon + ')'); }
      else if (e.actor === e.target) { add(named(e.target)); text(' killed themself (' + e.weapon + ')'); }
      else { add(named(e.actor)); text(' fragged '); add(named(e.target)); text(' (' + e.weapon + ')'); }
    } else if (e.kind === 'capture') { add(named(e.actor)); text(' captured the flag'); }
    else if (e.kind === 'join') { add(named(e.actor)); text(' joined'); }
    else if (e.kind === 'leave') { add(named(e.actor)); text(' left'); }
    else text('The match ended');
    return li;
  }
  function facts(f) {
    var set = function (id, v) { var e = document.getElementById(id); if (e) e.textContent = String(v); };
    if (!f) return;
    var none = document.getElementById('nofacts'); if (none && f.map) none.hidden = true;
    set('map', f.map); set('mode', f.mode); set('clock', since(Math.floor(f.clockMs / 1000))); set('score', f.score);
    fill('scoreboard', f.scoreboard, function (p) {
      var tr = el('tr'), n = el('td'); n.appendChild(named(p.name)); tr.appendChild(n);
      tr.appendChild(el('td', p.team)); tr.appendChild(el('td', p.score, 'num'));
      return tr;
    });
    fill('events', f.events.slice().reverse(), eventLine);
  }
  function games(list) {
    fill('games', list, function (g) {
      var tr = el('tr'); tr.setAttribute('data-id', String(g.id));
      var name = el('td'); name.appendChild(link('/game/' + g.id, g.name)); tr.appendChild(name);
      tr.appendChild(el('td', g.game)); tr.appendChild(el('td', g.mod));
      tr.appendChild(el('td', g.map)); tr.appendChild(el('td', g.mode)); tr.appendChild(el('td', g.players, 'num'));
      tr.appendChild(el('td', g.score)); tr.appendChild(el('td', g.filmer));
      tr.appendChild(el('td', g.viewers, 'num')); tr.appendChild(el('td', since(g.seconds), 'num'));
      tr.appendChild(el('td', size(g.demoBytes), 'num'));
      var w = el('td'); if (g.watchUrl) w.appendChild(link(g.watchUrl, 'Watch')); tr.appendChild(w);
      return tr;
    });
    var none = document.getElementById('nogames');
    if (none) none.hidden = list.length > 0;
  }
  function game(g) {
    var set = function (id, v) { var e = document.getElementById(id); if (e) e.textContent = String(v); };
    set('viewers', g.viewers); set('running', since(g.seconds)); set('demobytes', size(g.demoBytes));
    set('filmer', g.filmer);
    facts(g.facts);
    fill('users', g.users, function (u) { return el('li', u); });
    fill('chat', g.chat, function (c) {
      var li = el('li'); li.appendChild(el('span', c.user, 'who')); li.appendChild(document.createTextNode(' '));
      li.appendChild(el('span', c.text, 'said')); return li;
    });
    fill('demos', g.demos, function (d) {
      var tr = el('tr');
      var began = el('td'); began.appendChild(link(d.page, d.startedUtc.replace('T', ' ').replace('Z', ' UTC')));
      tr.appendChild(began); tr.appendChild(el('td', d.map)); tr.appendChild(el('td', d.mode));
      tr.appendChild(el('td', d.score)); tr.appendChild(el('td', d.lengthMs ? since(Math.floor(d.lengthMs / 1000)) : '', 'num'));
      tr.appendChild(el('td', size(d.bytes) + (d.recording ? ' (recording)' : ''), 'num'));
      var a = el('td'); var l = link(d.url, d.path.split('/').pop()); l.setAttribute('download', ''); a.appendChild(l);
      tr.appendChild(a);
      return tr;
    });
  }
  var url = page === 'games' ? '/api/games'
          : page === 'game' ? '/api/games/' + document.body.getAttribute('data-game') : null;
  if (!url) return;
  function poll() {
    fetch(url, { cache: 'no-store' }).then(function (r) {
      if (r.status === 404 && page === 'game') { set404(); return null; }
      return r.ok ? r.json() : null;
    }).then(function (data) {
      if (!data) return;
      if (page === 'games') games(data); else game(data);
      stamp();
    }).catch(function () {});
  }
  function set404() {
    var u = document.getElementById('updated'); if (u) u.textContent = 'This game has ended.';
    clearInterval(timer);
  }
  var timer = setInterval(poll, 2000);
  poll();
})();
)js");
}

} // namespace arbelon::web
