// Drawing on a picture upload. Every mark is kept as an operation and the picture is redrawn
// from the original each time, so undo and redo are exact and the saved PNG holds only what
// is shown.
'use strict';

(() => {
  const canvas = document.getElementById('canvas');
  const context = canvas.getContext('2d', { willReadFrequently: true });
  const stage = document.getElementById('stage');
  const status = document.getElementById('status');
  const colour = document.getElementById('colour');
  const width = document.getElementById('width');
  const undoButton = document.getElementById('undo');
  const redoButton = document.getElementById('redo');
  const saveButton = document.getElementById('save');
  const toolButtons = [...document.querySelectorAll('[data-tool]')];

  const picture = new Image();
  const done = [];
  let undone = [];
  let draft = null; // the mark being drawn
  let tool = 'rect';
  let typing = null; // the text field of a text mark being written

  function say(text, isError) {
    status.textContent = text;
    status.classList.toggle('error', Boolean(isError));
  }

  function textSize(lineWidth) {
    return Math.round(12 + lineWidth * 3);
  }

  function drawArrow(mark) {
    const [from, to] = [mark.points[0], mark.points[mark.points.length - 1]];
    const angle = Math.atan2(to.y - from.y, to.x - from.x);
    const head = Math.max(10, mark.width * 4);
    context.beginPath();
    context.moveTo(from.x, from.y);
    context.lineTo(to.x - Math.cos(angle) * head * 0.8, to.y - Math.sin(angle) * head * 0.8);
    context.stroke();
    context.beginPath();
    context.moveTo(to.x, to.y);
    context.lineTo(to.x - head * Math.cos(angle - Math.PI / 7), to.y - head * Math.sin(angle - Math.PI / 7));
    context.lineTo(to.x - head * Math.cos(angle + Math.PI / 7), to.y - head * Math.sin(angle + Math.PI / 7));
    context.closePath();
    context.fill();
  }

  // Replaces every block of the area by its average colour: unreadable, unlike a blur that
  // can be partly undone.
  function pixelate(mark) {
    const x = Math.max(0, Math.round(Math.min(mark.from.x, mark.to.x)));
    const y = Math.max(0, Math.round(Math.min(mark.from.y, mark.to.y)));
    const w = Math.min(canvas.width, Math.round(Math.max(mark.from.x, mark.to.x))) - x;
    const h = Math.min(canvas.height, Math.round(Math.max(mark.from.y, mark.to.y))) - y;
    if (w <= 0 || h <= 0) return;
    const block = Math.max(6, mark.width * 3);
    const area = context.getImageData(x, y, w, h);
    const data = area.data;
    for (let by = 0; by < h; by += block) {
      for (let bx = 0; bx < w; bx += block) {
        const bw = Math.min(block, w - bx);
        const bh = Math.min(block, h - by);
        const sum = [0, 0, 0, 0];
        for (let py = by; py < by + bh; py++) {
          for (let px = bx; px < bx + bw; px++) {
            const i = (py * w + px) * 4;
            for (let c = 0; c < 4; c++) sum[c] += data[i + c];
          }
        }
        const n = bw * bh;
        for (let py = by; py < by + bh; py++) {
          for (let px = bx; px < bx + bw; px++) {
            const i = (py * w + px) * 4;
            for (let c = 0; c < 4; c++) data[i + c] = Math.round(sum[c] / n);
          }
        }
      }
    }
    context.putImageData(area, x, y);
  }

  function draw(mark) {
    context.save();
    context.strokeStyle = context.fillStyle = mark.colour;
    context.lineWidth = mark.width;
    context.lineCap = context.lineJoin = 'round';
    switch (mark.tool) {
      case 'rect':
        context.lineJoin = 'miter';
        context.strokeRect(mark.from.x, mark.from.y, mark.to.x - mark.from.x, mark.to.y - mark.from.y);
        break;
      case 'arrow':
        drawArrow(mark);
        break;
      case 'pen':
        context.beginPath();
        mark.points.forEach((p, i) => (i ? context.lineTo(p.x, p.y) : context.moveTo(p.x, p.y)));
        if (mark.points.length === 1) context.lineTo(mark.points[0].x + 0.01, mark.points[0].y);
        context.stroke();
        break;
      case 'text':
        context.font = `600 ${textSize(mark.width)}px system-ui, sans-serif`;
        context.textBaseline = 'top';
        mark.text.split('\n').forEach((line, i) =>
          context.fillText(line, mark.from.x, mark.from.y + i * textSize(mark.width) * 1.2));
        break;
      case 'pixelate':
        pixelate(mark);
        break;
    }
    context.restore();
  }

  function render() {
    context.drawImage(picture, 0, 0);
    done.forEach(draw);
    if (draft) draw(draft);
    undoButton.disabled = done.length === 0;
    redoButton.disabled = undone.length === 0;
  }

  function commit(mark) {
    done.push(mark);
    undone = [];
    render();
  }

  function undo() {
    if (!done.length) return;
    undone.push(done.pop());
    render();
  }

  function redo() {
    if (!undone.length) return;
    done.push(undone.pop());
    render();
  }

  // The picture's own pixel under the pointer; the canvas is shown scaled to the page.
  function pointOf(event) {
    const box = canvas.getBoundingClientRect();
    return {
      x: ((event.clientX - box.left) * canvas.width) / box.width,
      y: ((event.clientY - box.top) * canvas.height) / box.height,
    };
  }

  function endTyping(keep) {
    if (!typing) return;
    const { field, at } = typing;
    typing = null;
    const text = field.value;
    field.remove();
    if (keep && text.trim()) {
      commit({ tool: 'text', colour: colour.value, width: Number(width.value), from: at, text });
    }
  }

  function startTyping(event) {
    const at = pointOf(event);
    const box = canvas.getBoundingClientRect();
    const scale = box.width / canvas.width;
    const field = document.createElement('input');
    field.type = 'text';
    field.className = 'text-mark';
    field.setAttribute('aria-label', 'Text');
    field.style.left = `${event.clientX - stage.getBoundingClientRect().left}px`;
    field.style.top = `${event.clientY - stage.getBoundingClientRect().top}px`;
    field.style.color = colour.value;
    field.style.font = `600 ${textSize(Number(width.value)) * scale}px system-ui, sans-serif`;
    stage.appendChild(field);
    typing = { field, at };
    field.addEventListener('keydown', (key) => {
      if (key.key === 'Enter') endTyping(true);
      else if (key.key === 'Escape') endTyping(false);
      key.stopPropagation();
    });
    field.addEventListener('blur', () => endTyping(true));
    setTimeout(() => field.focus(), 0);
  }

  canvas.addEventListener('pointerdown', (event) => {
    if (event.button !== 0) return;
    event.preventDefault();
    if (typing) {
      endTyping(true);
      return;
    }
    if (tool === 'text') {
      startTyping(event);
      return;
    }
    canvas.setPointerCapture(event.pointerId);
    const at = pointOf(event);
    draft = { tool, colour: colour.value, width: Number(width.value), from: at, to: at, points: [at] };
    render();
  });

  canvas.addEventListener('pointermove', (event) => {
    if (!draft) return;
    const at = pointOf(event);
    draft.to = at;
    if (draft.tool === 'pen') draft.points.push(at);
    else draft.points = [draft.from, at];
    render();
  });

  function finishDraft() {
    if (!draft) return;
    const mark = draft;
    draft = null;
    const size = Math.hypot(mark.to.x - mark.from.x, mark.to.y - mark.from.y);
    if (mark.tool === 'pen' || size >= 3) commit(mark);
    else render();
  }
  canvas.addEventListener('pointerup', finishDraft);
  canvas.addEventListener('pointercancel', finishDraft);

  function choose(name) {
    endTyping(true);
    tool = name;
    toolButtons.forEach((button) => button.setAttribute('aria-pressed', String(button.dataset.tool === name)));
    canvas.dataset.tool = name;
  }
  toolButtons.forEach((button) => button.addEventListener('click', () => choose(button.dataset.tool)));
  undoButton.addEventListener('click', undo);
  redoButton.addEventListener('click', redo);

  document.addEventListener('keydown', (event) => {
    if (typing || event.target instanceof HTMLInputElement) return;
    const key = event.key.toLowerCase();
    if ((event.ctrlKey || event.metaKey) && key === 'z') {
      event.preventDefault();
      if (event.shiftKey) redo();
      else undo();
    } else if ((event.ctrlKey || event.metaKey) && key === 'y') {
      event.preventDefault();
      redo();
    } else if (!event.ctrlKey && !event.metaKey && !event.altKey) {
      const button = toolButtons.find((b) => b.dataset.key === key);
      if (button) choose(button.dataset.tool);
    }
  });

  async function save() {
    endTyping(true);
    saveButton.disabled = true;
    say('Saving…');
    try {
      const blob = await new Promise((resolve) => canvas.toBlob(resolve, 'image/png'));
      if (!blob) throw new Error('The picture could not be turned into a PNG');
      const answer = await fetch(`/dashboard/edit/save?id=${encodeURIComponent(canvas.dataset.id)}`, {
        method: 'POST',
        headers: { 'Content-Type': 'image/png', 'X-CSRF-Token': canvas.dataset.csrf },
        body: blob,
        credentials: 'same-origin',
      });
      const result = await answer.json().catch(() => ({}));
      if (!answer.ok) throw new Error(result.error || `The server answered ${answer.status}`);
      status.classList.remove('error');
      status.textContent = 'Saved as a new upload: ';
      const link = document.createElement('a');
      link.id = 'saved';
      link.href = result.url;
      link.textContent = result.url;
      status.appendChild(link);
    } catch (error) {
      say(`Couldn't save: ${error.message}`, true);
    } finally {
      saveButton.disabled = false;
    }
  }
  saveButton.addEventListener('click', save);

  picture.addEventListener('load', () => {
    canvas.width = picture.naturalWidth;
    canvas.height = picture.naturalHeight;
    render();
    choose('rect');
    canvas.dataset.ready = 'true';
  });
  picture.addEventListener('error', () => say("The picture couldn't be loaded.", true));
  picture.src = canvas.dataset.src;
})();
