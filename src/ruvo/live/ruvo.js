/* ruvo browser client: sends an element's client events to the server over
 * one WebSocket and applies the patches that come back. Plain JavaScript.
 *
 * ruvo.send(element, event) sends {id, event, value}; value is the state of a
 * form control (a checkbox's checked flag, else its value), absent otherwise.
 * A text value is cut to keep the message within the server's limit.
 * Patches: attr / style (value null removes), class (add, remove), html (the
 * element's content), replace (the element itself). Markup is only ever taken
 * from "html" and "replace" patches: the server's rendering of widgets, in
 * which every text is escaped.
 *
 * A page served without a session (a static file) only warns when an event
 * is sent.
 */
(function () {
  'use strict';

  var meta = document.querySelector('meta[name="ruvo-session"]');
  var token = meta ? meta.getAttribute('content') : null;
  var limit = document.querySelector('meta[name="ruvo-max-message"]');
  var MAX_MESSAGE = (limit && parseInt(limit.getAttribute('content'), 10)) || 4096;
  var socket = null;
  var backlog = [];          // events sent while the connection is down
  var MAX_BACKLOG = 100;
  var delay = 250;           // reconnection delay, doubled up to MAX_DELAY
  var MAX_DELAY = 8000;
  var UNKNOWN_SESSION = 4404;
  var REPLACED = 4409;

  var ruvo = {state: token ? 'connecting' : 'static', errors: [], send: send, apply: apply};
  window.ruvo = ruvo;

  function status(state, text) {
    ruvo.state = state;
    var el = document.getElementById('ruvo-status');
    if (el) {
      el.textContent = text;
      el.setAttribute('data-state', state);
    }
  }

  function send(element, event) {
    if (!token) {
      console.warn('ruvo: this page is a static file; run `python -m ruvo.demo --serve` for the live page');
      return;
    }
    var message = {id: element.id, event: String(event)};
    var tag = element.tagName;
    if (tag === 'INPUT' || tag === 'SELECT' || tag === 'TEXTAREA') {
      message.value = (element.type === 'checkbox' || element.type === 'radio') ? element.checked : element.value;
    }
    var text = JSON.stringify(message);
    // Each cut takes at least the excess off the message: each character encodes to one or more.
    while (text.length > MAX_MESSAGE && typeof message.value === 'string' && message.value) {
      var value = message.value.slice(0, Math.max(0, message.value.length - (text.length - MAX_MESSAGE)));
      if (/[\uD800-\uDBFF]$/.test(value)) value = value.slice(0, -1);  // no half of a surrogate pair
      message.value = value;
      text = JSON.stringify(message);
    }
    if (socket && socket.readyState === WebSocket.OPEN) {
      socket.send(text);
    } else if (backlog.length < MAX_BACKLOG) {
      backlog.push(text);
    }
  }

  function markup(html) {
    // Parsed inert in a template: server-rendered markup only.
    var template = document.createElement('template');
    template.innerHTML = html;
    return template.content;
  }

  function apply(patch) {
    var el = document.getElementById(patch.id);
    if (!el) return;
    switch (patch.op) {
      case 'attr':
        if (patch.value === null) el.removeAttribute(patch.name);
        else el.setAttribute(patch.name, patch.value);
        break;
      case 'style':
        if (patch.value === null) el.style.removeProperty(patch.name);
        else el.style.setProperty(patch.name, patch.value);
        if (el.style.length === 0) el.removeAttribute('style');
        break;
      case 'class':
        patch.remove.forEach(function (name) { el.classList.remove(name); });
        patch.add.forEach(function (name) { el.classList.add(name); });
        if (el.classList.length === 0) el.removeAttribute('class');
        break;
      case 'html':
        el.replaceChildren(markup(patch.html));
        break;
      case 'replace':
        el.replaceWith(markup(patch.html));
        break;
    }
  }

  function receive(event) {
    var message;
    try {
      message = JSON.parse(event.data);
    } catch (e) {
      return;
    }
    if (message.type === 'patch') {
      message.patches.forEach(apply);
    } else if (message.type === 'error') {
      ruvo.errors.push(message.error);
      status('error', message.error);
      console.warn('ruvo: ' + message.error);
    }
  }

  function connect() {
    var scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    socket = new WebSocket(scheme + location.host + '/ws?session=' + encodeURIComponent(token));
    socket.onmessage = receive;
    socket.onopen = function () {
      delay = 250;
      status('open', 'live');
      while (backlog.length && socket.readyState === WebSocket.OPEN) socket.send(backlog.shift());
    };
    socket.onclose = function (event) {
      socket = null;
      if (event.code === UNKNOWN_SESSION) {
        // The server no longer knows this page: load a fresh one.
        status('closed', 'page expired; reloading');
        setTimeout(function () { location.reload(); }, delay);
        return;
      }
      if (event.code === REPLACED) {
        status('closed', 'this page connected again elsewhere');
        return;
      }
      status('closed', 'connection lost; reconnecting');
      setTimeout(connect, delay);
      delay = Math.min(delay * 2, MAX_DELAY);
    };
  }

  if (token) {
    var start = function () {
      var el = document.createElement('div');
      el.id = 'ruvo-status';
      document.body.appendChild(el);
      status('connecting', 'connecting');
      connect();
    };
    if (document.readyState === 'loading') document.addEventListener('DOMContentLoaded', start);
    else start();
  }
})();
