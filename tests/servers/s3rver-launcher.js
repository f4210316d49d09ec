#!/usr/bin/env node
'use strict'; // node LAUNCHER DIR PORT; keys from S3_ACCESS_KEY, S3_SECRET_KEY; S3_BUCKETS="a,b" made first
const crypto = require('crypto'), S3rver = require('s3rver');
const [dir, port] = process.argv.slice(2), key = process.env.S3_ACCESS_KEY, secret = process.env.S3_SECRET_KEY;
if (!dir || !port || !key || !secret) { console.error('usage: node LAUNCHER DIR PORT'); process.exit(2); }
const SUB = new Set(['acl', 'cors', 'delete', 'location', 'logging', 'notification', 'partNumber', 'policy',
  'requestPayment', 'tagging', 'torrent', 'uploadId', 'uploads', 'versionId', 'versioning', 'versions', 'website']);
function refuse(ctx, code) {
  ctx.status = 403; ctx.type = 'application/xml';
  ctx.body = '<?xml version="1.0" encoding="UTF-8"?>\n<Error><Code>' + code + '</Code></Error>';
}
async function checkSignature(ctx, next) {
  const m = /^AWS ([^:\s]+):(\S+)$/.exec(ctx.get('authorization'));
  if (!m) return refuse(ctx, 'AccessDenied');
  if (m[1] !== key) return refuse(ctx, 'InvalidAccessKeyId');
  const [path, query = ''] = ctx.req.url.split('?');
  const sub = query.split('&').filter(p => SUB.has(p.split('=')[0])).sort();
  const amz = Object.keys(ctx.headers).filter(h => h.startsWith('x-amz-')).sort()
    .map(h => h + ':' + String(ctx.headers[h]).trim());
  const date = 'x-amz-date' in ctx.headers ? '' : ctx.get('date');
  const toSign = [ctx.method, ctx.get('content-md5'), ctx.get('content-type'), date, ...amz,
    path + (sub.length ? '?' + sub.join('&') : '')].join('\n');
  if (crypto.createHmac('sha1', secret).update(toSign, 'utf8').digest('base64') !== m[2])
    return refuse(ctx, 'SignatureDoesNotMatch');
  const when = Date.parse(ctx.headers['x-amz-date'] || ctx.get('date'));
  if (!(Math.abs(Date.now() - when) <= 15 * 60 * 1000)) return refuse(ctx, 'RequestTimeTooSkewed');
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
server.run().then(() => console.log('ready'), e => { console.error(e); process.exit(1); });
process.on('SIGTERM', () => server.close(() => process.exit(0)));
