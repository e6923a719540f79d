// Map preview: every layer of the tile service drawn from its vector tiles, opened on the
// plots. Works with no outside network: no base map, no fonts, no sprites.
import * as maplibregl from './vendor/maplibre-gl/maplibre-gl.js';
import { LiveTiles, subscribeToChanges } from './live.js';

// The library is copied under .js names (see scripts/web-build), so it cannot find its
// worker by its usual name.
maplibregl.setWorkerUrl(new URL('./vendor/maplibre-gl/maplibre-gl-worker.js', import.meta.url).href);

const BACKGROUND = '#f3f1ec';
const LAND_USE_COLOURS = [
  ['Residential', '#f3d27a'],
  ['Commercial', '#e07a6b'],
  ['Mixed Use', '#f2a65a'],
  ['Institutional', '#7ea6d8'],
  ['Industrial', '#a892cf'],
  ['Recreational', '#8fca87'],
  ['Agricultural', '#cdb486'],
];
const OTHER_LAND_USE = '#d4cdbf';
const OPENING_ZOOM = 15;
const FALLBACK_VIEW = { center: [7.45, 9.05], zoom: 10 };  // the demo area around Abuja
const DRAW_ORDER = ['plots', 'cadzones', 'districts', 'lgas', 'beacons'];

const messageBox = document.getElementById('message');

function showMessage(text) {
  messageBox.textContent = text;
  messageBox.hidden = false;
}

async function fetchEnvelope(path) {
  const response = await fetch(path, { headers: { Accept: 'application/json' } });
  if (!response.ok) {
    throw new Error(`${path} answered HTTP ${response.status}`);
  }
  return response.json();
}

function landUseColour() {
  const match = ['match', ['get', 'GENERAL_LU']];
  for (const [use, colour] of LAND_USE_COLOURS) match.push(use, colour);
  match.push(OTHER_LAND_USE);
  return match;
}

function widthByZoom(stops) {
  return ['interpolate', ['linear'], ['zoom'], ...stops.flat()];
}

// Every layer comes from one composite source: one tile request per position holds them all.
const SOURCE = 'cadastre';

// Style layers for one tile layer; the layer key is also the tile's source layer name.
function styleLayers(key, minzoom) {
  const common = { source: SOURCE, 'source-layer': key, minzoom };
  switch (key) {
    case 'plots':
      return [
        { ...common, id: 'plots-fill', type: 'fill', paint: { 'fill-color': landUseColour() } },
        { ...common, id: 'plots-outline', type: 'line', minzoom: Math.max(minzoom, 13),
          paint: { 'line-color': '#8c7b68', 'line-width': widthByZoom([[13, 0.2], [16, 0.8], [19, 1.5]]) } },
      ];
    case 'cadzones':
      return [{ ...common, id: 'cadzones-line', type: 'line',
        paint: { 'line-color': '#2a9d8f', 'line-width': widthByZoom([[6, 0.6], [14, 1.5]]),
                 'line-dasharray': [3, 2] } }];
    case 'districts':
      return [{ ...common, id: 'districts-line', type: 'line',
        paint: { 'line-color': '#e76f51', 'line-width': widthByZoom([[4, 0.8], [14, 2.2]]) } }];
    case 'lgas':
      return [{ ...common, id: 'lgas-line', type: 'line',
        paint: { 'line-color': '#6a4c93', 'line-width': widthByZoom([[2, 1], [14, 3.5]]), 'line-opacity': 0.85 } }];
    case 'beacons':
      return [{ ...common, id: 'beacons-circle', type: 'circle',
        // tiny at the lowest zooms, where a block's corners would otherwise merge into a smudge
        paint: { 'circle-color': '#333333', 'circle-radius': widthByZoom([[12, 0.4], [14, 1], [16, 2.5], [19, 4]]),
                 'circle-stroke-color': '#ffffff', 'circle-stroke-width': widthByZoom([[14, 0], [16, 0.5]]) } }];
    default:
      // A layer this page does not know yet: drawn plainly by geometry type.
      return [
        { ...common, id: `${key}-fill`, type: 'fill', filter: ['==', ['geometry-type'], 'Polygon'],
          paint: { 'fill-color': '#9e9e9e', 'fill-opacity': 0.3 } },
        { ...common, id: `${key}-line`, type: 'line', paint: { 'line-color': '#616161', 'line-width': 1 } },
        { ...common, id: `${key}-circle`, type: 'circle', filter: ['==', ['geometry-type'], 'Point'],
          paint: { 'circle-color': '#616161', 'circle-radius': 2 } },
      ];
  }
}

function drawOrder(keys) {
  const rank = (key) => (DRAW_ORDER.includes(key) ? DRAW_ORDER.indexOf(key) : DRAW_ORDER.length - 1);
  return [...keys].sort((a, b) => rank(a) - rank(b));
}

// The TileJSON of the composite tells the map its tile URL, zoom range and bounds.
function serviceSource(keys) {
  return {
    type: 'vector',
    url: new URL(`/gis/${keys.map(encodeURIComponent).join(',')}/tilejson.json`, window.location.href).href,
  };
}

function buildStyle(layers, source) {
  const style = {
    version: 8,
    sources: {},
    layers: [{ id: 'background', type: 'background', paint: { 'background-color': BACKGROUND } }],
  };
  const keys = drawOrder(Object.keys(layers));
  style.sources[SOURCE] = source || serviceSource(keys);
  for (const key of keys) style.layers.push(...styleLayers(key, Number(layers[key].min_zoom) || 0));
  return style;
}

// The plots layer's centroid, or the first layer that has one, else the demo area.
async function openingView(layers) {
  const keys = ['plots', ...Object.keys(layers).filter((key) => key !== 'plots')];
  for (const key of keys) {
    if (!layers[key]) continue;
    try {
      const info = await fetchEnvelope(layers[key].endpoints.info || `/gis/${key}/`);
      const centroid = info.status_code === 200 && info.data && info.data.centroid_wgs84;
      if (centroid && Number.isFinite(centroid.longitude) && Number.isFinite(centroid.latitude)) {
        return { center: [centroid.longitude, centroid.latitude], zoom: OPENING_ZOOM };
      }
    } catch (error) {
      console.warn(`no centroid for ${key}:`, error);
    }
  }
  showMessage('No layer reported a centroid: showing the default area.');
  return FALLBACK_VIEW;
}

function fillLegend() {
  const legend = document.getElementById('legend');
  for (const [use, colour] of [...LAND_USE_COLOURS, ['Other', OTHER_LAND_USE]]) {
    const item = document.createElement('li');
    const swatch = document.createElement('span');
    swatch.className = 'swatch';
    swatch.style.backgroundColor = colour;
    item.append(swatch, use);
    legend.append(item);
  }
}

function fillLayerList(map, layers) {
  const list = document.getElementById('layer-list');
  for (const key of Object.keys(layers)) {
    const item = document.createElement('li');
    const label = document.createElement('label');
    const box = document.createElement('input');
    box.type = 'checkbox';
    box.checked = true;
    box.addEventListener('change', () => {
      for (const layer of map.getStyle().layers) {
        if (layer['source-layer'] === key) {
          map.setLayoutProperty(layer.id, 'visibility', box.checked ? 'visible' : 'none');
        }
      }
    });
    const zoom = document.createElement('span');
    zoom.className = 'zoom';
    zoom.textContent = ` from zoom ${Number(layers[key].min_zoom) || 0}`;
    label.append(box, ` ${layers[key].name || key}`, zoom);
    item.append(label);
    list.append(item);
  }
}

function popupContent(title, rows, link) {
  const box = document.createElement('div');
  box.className = 'feature-popup';
  const heading = document.createElement('h3');
  heading.textContent = title;
  const table = document.createElement('table');
  for (const [name, value] of rows) {
    if (value === undefined || value === null || value === '') continue;
    const row = table.insertRow();
    const th = document.createElement('th');
    th.textContent = name;
    row.append(th);
    row.insertCell().textContent = String(value);
  }
  box.append(heading, table);
  if (link) box.append(link);
  return box;
}

function plotPopup(feature) {
  const p = feature.properties;
  const id = p.ID ?? feature.id;
  const area = Number(p.AREA_SYSTEM);
  let link = null;
  if (id !== undefined && id !== null) {
    link = document.createElement('a');
    link.className = 'plan-link';
    link.href = `/plots/${encodeURIComponent(id)}/plan`;
    link.target = '_blank';
    link.rel = 'noopener';
    link.textContent = 'Print survey plan';
  }
  return popupContent(`Plot ${p.PLOT_NO ?? id}`, [
    ['ID', id],
    ['Plot no.', p.PLOT_NO],
    ['Status', p.STATUS],
    ['Area', Number.isFinite(area) ? `${area.toLocaleString('en', { maximumFractionDigits: 2 })} m²` : p.AREA_SYSTEM],
    ['Land use', p.GENERAL_LU],
    ['Detailed use', p.DETAIL_LU],
    ['Cadastral zone', p.CADZONE],
    ['File no.', p.file_no],
  ], link);
}

function beaconPopup(feature) {
  const p = feature.properties;
  return popupContent(`Beacon ${p.BEACON_NO ?? p.ID ?? feature.id}`,
    [['ID', p.ID ?? feature.id], ['Status', p.STATUS], ['Remark', p.REMARK]]);
}

function showViewStatus(map) {
  const { lng, lat } = map.getCenter();
  document.getElementById('view-status').textContent =
    `Zoom ${map.getZoom().toFixed(1)} · ${Math.abs(lat).toFixed(5)}° ${lat >= 0 ? 'N' : 'S'}, ` +
    `${Math.abs(lng).toFixed(5)}° ${lng >= 0 ? 'E' : 'W'}`;
}

function wireEvents(map) {
  // data-map tells scripts (and the browser test) when every visible tile is drawn.
  map.on('dataloading', () => { document.body.dataset.map = 'loading'; });
  map.on('idle', () => { document.body.dataset.map = 'idle'; });
  map.on('moveend', () => showViewStatus(map));

  let tileFailures = 0;
  map.on('error', (event) => {
    tileFailures += 1;
    console.error('map error:', event.error);
    showMessage(`${tileFailures} map request(s) failed; see the browser console.`);
  });

  const clickable = ['beacons-circle', 'plots-fill'];
  map.on('click', (event) => {
    const box = [[event.point.x - 3, event.point.y - 3], [event.point.x + 3, event.point.y + 3]];
    const present = clickable.filter((id) => map.getLayer(id));
    const hits = map.queryRenderedFeatures(box, { layers: present });
    const beacon = hits.find((f) => f.layer.id === 'beacons-circle');
    const plot = hits.find((f) => f.layer.id === 'plots-fill');
    if (!beacon && !plot) return;
    new maplibregl.Popup({ maxWidth: '320px' })
      .setLngLat(event.lngLat)
      .setDOMContent(beacon ? beaconPopup(beacon) : plotPopup(plot))
      .addTo(map);
  });
  for (const id of clickable) {
    map.on('mouseenter', id, () => { map.getCanvas().style.cursor = 'pointer'; });
    map.on('mouseleave', id, () => { map.getCanvas().style.cursor = ''; });
  }
}

function loadScript(src) {
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = src;
    script.onload = resolve;
    script.onerror = () => reject(new Error(`cannot load ${src}`));
    document.head.append(script);
  });
}

// `?pmtiles=URL`: a package written by `mapsvc-tiles export`, drawn from the file with the same
// styling. The format's own library reads it with range requests; no tile comes from the
// service. Its layers and opening view come from the package's metadata and header.
async function openPackage(packageUrl) {
  const url = new URL(packageUrl, window.location.href).href;
  await loadScript(new URL('./vendor/pmtiles/pmtiles.js', import.meta.url).href);
  const archive = new window.pmtiles.PMTiles(url);
  const protocol = new window.pmtiles.Protocol();
  protocol.add(archive);
  maplibregl.addProtocol('pmtiles', protocol.tile);
  const header = await archive.getHeader();
  const metadata = await archive.getMetadata();
  const layers = {};
  for (const layer of metadata.vector_layers || []) layers[layer.id] = { name: layer.id, min_zoom: layer.minzoom };
  if (Object.keys(layers).length === 0) throw new Error('the package names no layers');
  const zoom = Math.min(Math.max(OPENING_ZOOM, header.minZoom), header.maxZoom);
  const position = metadata.mapsvc && metadata.mapsvc.feed_position;
  const note = document.getElementById('package');
  note.textContent = `Offline package ${url}` + (position != null ? ` (change-feed position ${position})` : '');
  note.hidden = false;
  return {
    layers,
    source: { type: 'vector', url: `pmtiles://${url}` },
    view: { center: [header.centerLon, header.centerLat], zoom },
  };
}

async function main() {
  fillLegend();
  const packageUrl = new URLSearchParams(window.location.search).get('pmtiles');
  if (packageUrl) {
    let opened;
    try {
      opened = await openPackage(packageUrl);
    } catch (error) {
      document.body.dataset.map = 'failed';
      showMessage(`Cannot open the package ${packageUrl}: ${error.message}`);
      return;
    }
    startMap(opened.layers, opened.view, opened.source, null);
    return;
  }
  let layers;
  try {
    const listing = await fetchEnvelope('/gis/layers/');
    layers = listing && listing.data && listing.data.layers;
    if (!layers || typeof layers !== 'object' || Object.keys(layers).length === 0) {
      throw new Error('the layer list is empty');
    }
  } catch (error) {
    document.body.dataset.map = 'failed';
    showMessage(`Cannot load the layer list: ${error.message}`);
    return;
  }

  const view = await openingView(layers);
  startMap(layers, view, null, new LiveTiles(SOURCE, Object.keys(layers)));
}

// `live` follows edits (the service's tiles); none for a package.
function startMap(layers, view, source, live) {
  let map;
  try {
    map = new maplibregl.Map({
      container: 'map',
      style: buildStyle(layers, source),
      center: view.center,
      zoom: view.zoom,
      maxZoom: 22,
      hash: true,
      transformRequest: live ? (url, resourceType) => live.transformRequest(url, resourceType) : undefined,
    });
  } catch (error) {
    // typically a browser without WebGL
    document.body.dataset.map = 'failed';
    showMessage(`The map cannot start: ${error.message}`);
    return;
  }
  map.addControl(new maplibregl.NavigationControl(), 'top-right');
  map.addControl(new maplibregl.ScaleControl({ unit: 'metric' }), 'bottom-right');
  fillLayerList(map, layers);
  wireEvents(map);
  showViewStatus(map);
  if (live) {
    live.attach(map);
    subscribeToChanges(live, document.getElementById('live'));
  }
}

main();
