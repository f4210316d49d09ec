#!/usr/bin/env node
'use strict'; // node LAUNCHER DIR PORT; keys from S3_ACCESS_KEY, S3_SECRET_KEY; S3_BUCKETS="a,b" made first
// S3_CLOCK_OFFSET_S: the server's clock runs that many seconds ahead (behind when negative).
const crypto = require('crypto'), S3rver = require('s3rver');
const [dir, port] = process.argv.slice(2), key = process.env.S3_ACCESS_KEY, secret = process.env.S3_SECRET_KEY;
if (!dir || !port || !key || !secret) { console.error('usage: node LAUNCHER DIR PORT'); process.exit(2); }
const SUB = new Set(['acl', 'cors', 'delete', 'location', 'logging', 'notification', 'partNumber', 'policy',
  'requestPayment', 'tagging', 'torrent', 'uploadId', 'uploads', 'versionId', 'versioning', 'versions', 'website']);
const clockOffset = Number(process.env.S3_CLOCK_OFFSET_S || 0) * 1000;
const MESSAGES = {
  AccessDenied: 'Access Denied',
  InvalidAccessKeyId: 'The AWS Access Key Id you provided does not exist in our records.',
  SignatureDoesNotMatch: 'The request signature we calculated does not match the signature you provided. ' +
    'Check your key and signing method.',
  RequestTimeTooSkewed: 'The difference between the request time and the current time is too large.',
};
const xmlText = text => String(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
// A refusal as the service words it: the code, its message and the details it adds.
function refuse(ctx, code, details = {}) {
  ctx.status = 403; ctx.type = 'application/xml';
  const fields = Object.assign({ Code: code, Message: MESSAGES[code] }, details,
    { RequestId: crypto.randomBytes(8).toString('hex').toUpperCase() });
  ctx.body = '<?xml version="1.0" encoding="UTF-8"?>\n<Error>' +
    Object.entries(fields).map(([k, v]) => '<' + k + '>' + xmlText(v) + '</' + k + '>').join('') + '</Error>';
}
async function checkSignature(ctx, next) {
  const m = /^AWS ([^:\s]+):(\S+)$/.exec(ctx.get('authorization'));
  if (!m) return refuse(ctx, 'AccessDenied');
  if (m[1] !== key) return refuse(ctx, 'InvalidAccessKeyId', { AWSAccessKeyId: m[1] });
  const [path, query = ''] = ctx.req.url.split('?');
  const sub = query.split('&').filter(p => SUB.has(p.split('=')[0])).sort();
  const amz = Object.keys(ctx.headers).filter(h => h.startsWith('x-amz-')).sort()
    .map(h => h + ':' + String(ctx.headers[h]).trim());
  const date = 'x-amz-date' in ctx.headers ? '' : ctx.get('date');
  const toSign = [ctx.method, ctx.get('content-md5'), ctx.get('content-type'), date, ...amz,
    path + (sub.length ? '?' + sub.join('&') : '')].join('\n');
  if (crypto.createHmac('sha1', secret).update(toSign, 'utf8').digest('base64') !== m[2])
    return refuse(ctx, 'SignatureDoesNotMatch', { AWSAccessKeyId: m[1], StringToSign: toSign, SignatureProvided: m[2] });
  // The service allows 15 minutes between the request's date and its own clock.
  const now = Date.now() + clockOffset, when = Date.parse(ctx.headers['x-amz-date'] || ctx.get('date'));
  if (!(Math.abs(now - when) <= 15 * 60 * 1000))
    return refuse(ctx, 'RequestTimeTooSkewed', { RequestTime: ctx.headers['x-amz-date'] || ctx.get('date'),
      ServerTime: new Date(now).toISOString(), MaxAllowedSkewMilliseconds: 900000 });
  delete ctx.req.headers.authorization;
  return next();
}
const buckets = (process.env.S3_BUCKETS || '').split(',').filter(Boolean).map(name => ({ name }));
const server = new S3rver({ directory: dir, port: Number(port), address: '127.0.0.1', silent: true,
  vhostBuckets: false, configureBuckets: buckets });
server.middleware.unshift(checkSignature);
// The store removes a folder that a deletion leaves empty; two deletions in one folder at once race
// there (both find it empty, the second removal fails, and its request with it). One at a time.
let deletions = Promise.resolve();
const deleteObject = server.store.deleteObject.bind(server.store);
server.store.deleteObject = (...args) => {
  const run = deletions.then(() => deleteObject(...args));
  deletions = run.catch(() => {});
  return run;
};
// S3_READY_FILE, when set, is written once the server listens on its port.
server.run().then(() => {
  if (process.env.S3_READY_FILE) require('fs').writeFileSync(process.env.S3_READY_FILE, String(process.pid));
  console.log('ready');
}, e => { console.error(e); process.exit(1); });
process.on('SIGTERM', () => server.close(() => process.exit(0)));
// A request cut in the middle (the tests cut uploads on purpose) may end in an error no handler
// of the server catches; it must not end the server with it.
process.on('uncaughtException', e => console.error('s3rver-launcher: ' + (e && e.stack || e)));
