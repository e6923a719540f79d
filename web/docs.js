// API documentation page: the service's own OpenAPI description, rendered locally.
window.ui = SwaggerUIBundle({
  url: '/openapi.json',
  dom_id: '#swagger-ui',
  deepLinking: true,
  // The default validator badge would call an outside service.
  validatorUrl: null,
});
